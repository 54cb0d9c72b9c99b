// The daemon's side of a registry connection, up to the decoded request:
// arbitrary bytes as the client's TCP stream, cut into records by the
// record-marking reader, each record's call header and credentials checked,
// then the arguments decoded by the procedure table's own decoder in the
// call's protocol version (1 has no request header) and released.
//
// Input: one byte giving how many stream bytes reach the reader at a time
// (1 to 256, so that marks and records split across reads are covered),
// then the stream. Run: scripts/fuzz.sh requests SECONDS
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "daemon/rpc_wire.h"
#include "rpc/regd_svc_proc.h"
#include "rpc/regd_xdr.h"

namespace {

void serveRecord(std::vector<uint8_t>& record) {
    XDR x;
    xdrmem_create(&x, reinterpret_cast<char*>(record.data()), static_cast<u_int>(record.size()), XDR_DECODE);
    auto call = std::make_unique<RpcCallHeader>();
    if (!rpcDecodeCall(&x, call.get())) return;
    opaque_auth verf{};
    if (rpcAuthenticate(*call, &verf) != AUTH_OK) return;
    const call_body& body = call->msg.rm_call;
    const RegdProcedure* entry = regdFindProcedure(static_cast<uint32_t>(body.cb_proc));
    if (entry == nullptr) return;
    g_packetVersion = body.cb_vers == 1 ? 1 : 2;
    auto request = std::make_unique<RegdRequestBuffer>();
    memset(request.get(), 0, sizeof *request);
    (void)entry->decodeRequest(&x, request.get());
    xdr_free(entry->decodeRequest, reinterpret_cast<char*>(request.get()));
    free(g_userNameToFree);
    g_userNameToFree = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t step = size_t{data[0]} + 1;
    std::span<const uint8_t> stream(data + 1, size - 1);
    RpcRecordReader reader;
    for (size_t pos = 0; pos < stream.size(); pos += step) {
        std::span<const uint8_t> chunk = stream.subspan(pos, std::min(step, stream.size() - pos));
        while (!chunk.empty()) {
            size_t used = 0;
            RpcFeed feed = rpcFeedRecord(reader, chunk, &used);
            if (feed == RpcFeed::TooLong) return 0;  // the daemon ends the connection
            chunk = chunk.subspan(used);
            if (feed == RpcFeed::Complete) {
                serveRecord(reader.body);
                rpcRecordReset(reader);
            }
        }
    }
    return 0;
}
