#pragma once

class QFileDialog;
class TForm1;

// Ctrl+O runs "Select file" and Ctrl+U "Upgrade FW", anywhere in the window while the button
// is shown, exactly as a click does; the buttons still never take the focus. Each button's
// tooltip names its key.
void InstallShortcuts(TForm1& window);

// The file dialog, confirmed with Return, leaves nothing open that would take the keys meant
// for the window.
void CloseCompletionWithDialog(QFileDialog& dialog);
