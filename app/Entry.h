#pragma once

class QMainWindow;

// The whole life of the program: single-instance check, the window, the event loop. Returns the
// process exit code (1 when another copy is already running).
int runVelmoraAuth(int argc, char* argv[]);

// Gives the main window its icon file, removes its maximise button and fixes its size.
void shapeMainWindow(QMainWindow& window);
