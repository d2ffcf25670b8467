// SIGTERM, SIGHUP and SIGINT (the desktop session ending, kill, Ctrl+C)
// close the main window the ordinary way: questions that are open are
// answered as by closing them, the session logs off, and the settings and
// lists are written.
#pragma once

class QWidget;

namespace mg {

// Installs the handlers for the life of the process; `window` must live as
// long as the event loop runs.
void CloseOnTermination(QWidget& window);

}  // namespace mg
