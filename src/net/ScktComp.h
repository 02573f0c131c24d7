// ScktComp: the socket layer. Include this header to use it.
//
// Non-blocking TCP over IPv4, driven by the event loop of src/base (no Qt
// here). The classes and who owns what:
//
//   TServerSocket            listening component; owns its Listener.
//     TServerWinSocket       the Listener: the listening socket; owns the
//                            accepted connections, in accept order.
//       TServerClientWinSocket  one accepted connection; freed on a later
//                            loop pass after its disconnect, or at once
//                            (silently) when the server stops.
//   TClientSocket            connecting component; owns ClientConnection.
//     TClientWinSocket       the client's connection object.
//
//   TCustomWinSocket         base of the four connection objects: socket,
//                            resolution, send queue, events to its owner.
//   NotifyTarget             owned by each connection object: readiness
//                            watches, one-shot notifications, deferred frees.
//   Lookup                   a host or service lookup on a worker thread.
//   TAbstractSocket, TCustomSocket  what the two components share.
//   SocketCalls              the system calls, in one place.
//
// Components derive from TObject and are the Sender of their own events;
// the Listener is the Sender of per-connection events. Connection objects are
// ended with Destroy() by their owner, never deleted directly, and are never
// freed inside their own callbacks. Everything runs on the loop's thread;
// errors escaping a notification go to the loop's error reporter, errors in a
// call the program made go to that caller.
#pragma once

#include "net/AbstractSocket.h"
#include "net/ClientSocket.h"
#include "net/ClientWinSocket.h"
#include "net/CustomSocket.h"
#include "net/CustomWinSocket.h"
#include "net/ServerClientWinSocket.h"
#include "net/ServerSocket.h"
#include "net/ServerWinSocket.h"
#include "net/SocketTypes.h"
