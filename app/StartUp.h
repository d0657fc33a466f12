#pragma once

class QApplication;
class TForm1;

// Font and icon for the whole application, boxes and the file dialog included.
void PrepareApplication(QApplication& application);

// What SIGTERM and SIGINT do: close the main window without the question a close asks while
// the encoder writes its flash, and end every event loop, so the program exits with code 0
// even while a box is open.
void CloseOnSignal(TForm1& window);

// Creates the main window, runs FormCreate, shows the window at (0, 0) and runs the event
// loop until the window closes. An error that escapes the window's creation or the loop is
// shown in an error box. SIGTERM and SIGINT close the window. Returns the exit code, 0 on every
// path.
int RunWindowProgram();
