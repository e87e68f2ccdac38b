// Windows only: what the console and the executable's folder add to the service's start and stop.
#pragma once

#include <string>

namespace lookupd {

class Server;

// The file `name` in the executable's folder, as the release ships the index; `name` itself when
// the folder cannot be known.
std::string BesideExecutable(const char* name);

// While it lives, Ctrl-C, Ctrl-Break and the console's close button stop the server as a signal
// does. Windows ends the process when a close event's handler returns, so that handler waits
// (bounded) until this object is destroyed, after the server has drained.
class ConsoleStop {
public:
    explicit ConsoleStop(Server& server);
    ~ConsoleStop();
    ConsoleStop(const ConsoleStop&) = delete;
    ConsoleStop& operator=(const ConsoleStop&) = delete;
};

}  // namespace lookupd
