// The live view's event stream (Server-Sent Events): every message the history holds after the one the
// browser saw last, then each new one as it runs, and the clients whenever they change. Sent in bounded
// pieces, so a long history never becomes one huge string.
#pragma once

#include <winsock2.h>

#include <atomic>

#include "HttpMessage.h"

class Instrument;
class TrafficHistory;

void StreamEvents(SOCKET socket, const http::Request& request, Instrument& instrument, TrafficHistory& history,
                  const std::atomic<bool>& stop);
