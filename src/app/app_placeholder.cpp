// The window code arrives with the main window.
