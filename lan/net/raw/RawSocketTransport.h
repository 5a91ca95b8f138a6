// The raw SCPI socket (port 5025 by custom): bytes in are program messages, responses go out as
// soon as they exist, each batch in one send (some clients mishandle a reply that arrives in pieces).
#pragma once

#include "TcpListener.h"

#include <memory>
#include <string>

class Instrument;

namespace lan {

// A session with stream delivery for the connection, closed when the connection ends.
std::unique_ptr<Connection> MakeRawSocketConnection(Instrument& instrument, const std::string& peer);

} // namespace lan
