// Quitting the event loop when the system asks the process to end (logout, Ctrl+C,
// a closed terminal), so that the port and the log file close as on a closed window.
#pragma once

// Makes SIGTERM, SIGINT and SIGHUP quit the application's event loop with exit code 0
// instead of killing the process; call once, after the application object exists.
// A signal that arrives before the event loop runs quits it as soon as it starts.
// False when the handlers could not be installed (the signals then kill as before).
// On Windows the toolkit itself closes the window when the user logs off, and this does nothing.
bool quitOnTerminationSignals();
