// The daemon's side of the sync server: its state, its listening endpoint,
// the accept thread and the hand-over of each connection to its own thread;
// then waits, signalling and wake-ups, thread exit and process disconnect.
#pragma once

#include <pthread.h>
#include <span>

#include "sync/kvipc.h"
#include "sync/kvsrv.h"

// The sync server state, from start-up to exit.
extern SyncIPCInfo* pRegdSyncIPCInfo;

// Creates the sync server state, replaces any stale endpoint of this
// process's socket path with a fresh one and starts the accept thread with
// `attr`. 1 when the server runs; 0 when it could not be set up, and the
// daemon then goes on without it.
int regdStartSyncServer(pthread_attr_t* attr);

// Thread body: the accept loop on the endpoint; never returns.
void* regdRunIPCServer(void* endpoint);

// Accept callback: serves the connection in a detached thread of its own.
void regdIPCConnectionHandler(KvSRVConnection* connection, void* context);

// ---- Server-to-client connections (each takes connectionLock itself) ----

// Opens the server's connection to pid's socket unless it has one; a
// failed connect is silent (wake-ups for pid are then dropped).
void kvInitSRVConnectionToProcess(SyncIPCInfo* info, int32_t pid);
// Closes and forgets the server's connection to pid, if any.
void kvDeleteSRVConnectionToProcess(SyncIPCInfo* info, int32_t pid);
// Server-to-client opcode 0 (wait entry, result, reserved) to pid. 1 when
// pid has a connection (whether or not the send went through), else 0.
int kvWakeWaitEntry(SyncIPCInfo* info, int32_t pid, uint32_t waitEntry, int32_t waitResult, uint32_t reserved);
// Server-to-client opcode 1 with a value of the client's choosing.
int kvSignalClientEvent(SyncIPCInfo* info, int32_t pid, uint32_t value);
// Wakes every wait of the list in order, retires each (taking stateLock
// briefly per wait) and frees the list. Called without stateLock.
void kvWakeAndFreeWaitEntries(SyncIPCInfo* info, KvList* list);

// ---- Wait records (all with stateLock held) ----
// A wait travels as the KvListItem that carries it: between the pool, the
// wait queue and a wake list the item goes along with its record.

// 1 when every handle of a server kind names an object of that kind that
// is in use (tested as sent, before alias resolution); 0 otherwise or for
// an empty list.
int kvValidateWaitArgs(SyncIPCInfo* info, std::span<const uint32_t> handles);
// A new wait, not queued: handles resolved through pid's aliases, one wait
// use added to each server object named. Null when memory runs out.
KvListItem* kvCreateWaitQueueItem(SyncIPCInfo* info, std::span<const uint32_t> handles, int32_t needed,
                                  int32_t pid, uint32_t thread, uint32_t waitEntry);
// Gives back a wait that is in no list: its wait uses (which may end
// objects), its separate arrays; the record goes to the head of the pool.
void kvInactivateWaitQueItem(SyncIPCInfo* info, KvListItem* item);
// 1 when the wait can be satisfied now, having then consumed what it
// acquired and set its result; 0 and nothing changed otherwise.
int kvAcquireWaitObjects(SyncIPCInfo* info, WaitQueueItem* wait);
// Takes every queued wait that can now be satisfied, in arrival order. The
// first of pid's goes to *selfOut when selfOut is given; the others are
// returned as a wake list (null when there are none).
KvList* kvDequeueWakeableWaitItems(SyncIPCInfo* info, int32_t pid, KvListItem** selfOut);
// The first queued wait of pid with that entry: still pending, or any.
KvListItem* kvGetTimedOutWaitEntry(SyncIPCInfo* info, int32_t pid, uint32_t waitEntry);
KvListItem* kvWaitQueueListItemOfWaiter(SyncIPCInfo* info, int32_t pid, uint32_t waitEntry);

// ---- Operation handlers (request and reply as in kvsync.h) ----
void release_semaphore(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                       std::span<char> reply);
void release_mutex(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                   std::span<char> reply);
void set_event(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
               std::span<char> reply);
void reset_event(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                 std::span<char> reply);
void pulse_event(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                 std::span<char> reply);
void kvWaitEntryTimeout(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                        std::span<char> reply);
void kvBeginWait(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                 std::span<char> reply);
void kvWaitObjectStateChange(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                             std::span<char> reply);
// Opcode 19: the thread's mutexes become free and abandoned, its waits go,
// and waits that can now be satisfied are woken.
void kvNotifyThreadExited(KvSRVConnection* connection, SyncIPCInfo* info, std::span<const char> request,
                          std::span<char> reply);

// Runs when a connection ends: the process it registered loses every use,
// owned mutex, pending wait and alias it had, its wake-up connection is
// closed, and waits of others that can now be satisfied are woken.
void sync_ipc_disconnect_handler(KvSRVConnection* connection, SyncIPCInfo* info);
