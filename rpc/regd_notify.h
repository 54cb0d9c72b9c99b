// Registry change notifications: the registrations that NOTIFY_CHANGE_KEY_VALUE
// makes, each owned by the RPC connection it came on, and the events of the
// sync server they set when the store reports a matching change.
//
// A registration fires once: the first matching change (or the key's
// deletion, the closing of its handle on its connection, or the end of the
// connection) sets its event and ends it. Events are set through the
// daemon's own sync server, before the reply to the change goes out.
#pragma once

#include <cstddef>
#include <cstdint>

struct RegCacheRec;
struct RegdCaller;

// The filters a registration may name; THREAD_AGNOSTIC is the client's
// business (which connection it uses) and is accepted beside them.
constexpr uint32_t REGD_NOTIFY_FILTER_MASK = 0xFu;
constexpr uint32_t REGD_NOTIFY_THREAD_AGNOSTIC = 0x10000000u;

// The RPC connection whose call this thread serves (0: none). The transport
// sets it before each call.
void regdSetCallConnection(uint64_t connection);
uint64_t regdCallConnection();

// NOTIFY_CHANGE_KEY_VALUE for the current connection: 0, 2 (no such key),
// 6 (no such event) or 87 (no filter bit, or bits we do not know). Resets
// the event first. The daemon never blocks a call: a synchronous request is
// registered like an asynchronous one (the library does the waiting).
uint32_t regdNotifyRegister(const RegdCaller& caller, uint32_t hKey, bool subtree, uint32_t filter,
                            uint32_t event);

// CLOSE_KEY of hKey on the current connection: its registrations made
// through hKey fire and end.
void regdNotifyHandleClosed(uint32_t hKey);

// The connection is gone: its registrations fire and end. Sets the events
// at once (the transport's loop thread calls it).
void regdNotifyConnectionClosed(uint64_t connection);

// Sets the events that this thread's call fired; the transport calls it
// after every call, before the reply is sent.
void regdNotifyFlush();

// Live registrations (for tests and the verbose trace).
size_t regdNotifyCount();
