#pragma once

class QMainWindow;

// The whole life of the program: single-instance check, the window, the event loop. Returns the
// process exit code (1 when another copy is already running).
int runVelmoraAuth(int argc, char* argv[]);

// Turns on scaling for high-dpi screens; before the application object is made.
void prepareDesktopScaling();

// Windows drawn by the CPU alone, without loading OpenGL; before the application object is made.
void preferRasterWindows();

// Gives the main window its icon (the icon file of the working directory, else the built-in one),
// removes its maximise button and fixes its size.
void shapeMainWindow(QMainWindow& window);
