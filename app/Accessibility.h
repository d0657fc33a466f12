#pragma once

class TForm1;

// What a screen reader announces for the window: the category header as a button that
// expands and collapses, the edit boxes by their labels, the log panes and progress bars by
// what they show, and the labels that show a figure described by their captions. Nothing
// visible changes.
void DescribeControls(TForm1& window);
