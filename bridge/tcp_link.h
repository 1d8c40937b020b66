#pragma once
// Opening, feeding and closing a bridge's TCP link. Worker thread only,
// except TakeSocket, which the connect thread uses too.
#include "bridge/modem_bridge.h"

// Takes the socket out of the bridge under its lock, leaving INVALID_SOCKET,
// so that exactly one thread closes it.
SOCKET TakeSocket(ModemBridge* bridge);
void CloseLink(ModemBridge* bridge);
// Waits for the connect thread to end, closes its handle and takes its
// request buffer back into the pool.
void JoinConnectThread(ModemBridge* bridge);
void ReportLinkLost(ModemBridge* bridge);
// A socket transfer record with a new event, or null.
SocketTransfer* NewSocketTransfer();
// Closes its event and frees it with the buffer it holds; null is ignored.
void FreeSocketTransfer(SocketTransfer* transfer);
// Takes back the parked transfers whose completion has come: their buffers
// return to the pool.
void ReapParkedTransfers(ModemBridge* bridge);
// Destruction: frees every parked transfer, giving the late completions a
// last bounded wait first.
void FreeParkedTransfers(ModemBridge* bridge);
void StartSocketSend(ModemBridge* bridge, IoBuffer* buffer);
// Sends what the buffer's socket descriptor still covers (the rest of a
// buffer the stack took only part of).
void SendRemainder(ModemBridge* bridge, IoBuffer* buffer);
void PostLinkChanged(ModemBridge* bridge);
// Readies a socket transfer's overlapped record for its next use: cleared,
// its event kept and reset.
void PrepareSocketTransfer(OVERLAPPED* overlapped);
// Queues a one-byte control message to the modem; records a fault for the
// worker when no buffer can be had. The start of the write is not examined.
HRESULT QueueReply(ModemBridge* bridge, uint8_t type);
