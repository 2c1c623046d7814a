// ReplyFuzz.cpp - reply collection fed by a scripted server: byte chunks of
// any size and content (length bytes included), empty reads, socket errors and
// time-outs, into the 1024-byte reply area.
//
// Input: a time-limit byte (0: none, otherwise that many seconds), then
// events. An event byte's top two bits choose: 0 a chunk of (low six bits)
// bytes, or of the next two bytes' count when the low bits are 63; 1 an empty
// read; 2 a socket error whose code is the next byte; 3 a time-out. When the
// events run out every read is empty.
#include "FuzzCheck.h"

#include "Platform.h"
#include "Reply.h"
#include "Transaction.h"

#include <string>

namespace {

struct ScriptedServer {
    FuzzInput* input = nullptr;
    const char* area = nullptr;
    int limitMs = 0;
    std::string arrived;   // bytes sent but not yet read
    std::string delivered; // bytes handed to the reply area so far
    long lastResult = 0;
    int lastError = 0;
    int calls = 0;
    int trailingEmpty = 0; // empty reads since the last non-empty one
    size_t deliveredBeforeLast = 0;
};

long Receive(void* context, char* buffer, size_t size, int waitMs, int* error) {
    ScriptedServer& server = *static_cast<ScriptedServer*>(context);
    ++server.calls;
    FUZZ_CHECK(server.calls < 1000000);
    // Reads go on where the last one ended and always leave room for the zero.
    FUZZ_CHECK(buffer == server.area + server.delivered.size());
    FUZZ_CHECK(size == static_cast<size_t>(ReplyAreaSize - 1) - server.delivered.size());
    if (server.limitMs > 0 && size > 0)
        FUZZ_CHECK(waitMs > 0 && waitMs <= server.limitMs);
    else
        FUZZ_CHECK(waitMs < 0);

    long result = 0;
    if (size > 0 && server.arrived.empty() && server.input->Left() > 0) {
        uint8_t event = server.input->Byte();
        switch (event >> 6) {
        case 0: {
            size_t wanted = event & 63;
            if (wanted == 63)
                wanted = static_cast<size_t>(server.input->Byte()) << 8 | server.input->Byte();
            size_t length = 0;
            const uint8_t* chunk = server.input->Take(wanted, &length);
            server.arrived.assign(reinterpret_cast<const char*>(chunk), length);
            break;
        }
        case 1:
            break;
        case 2:
            *error = server.input->Byte();
            server.lastError = *error;
            result = ReceiveFailed;
            break;
        default:
            if (waitMs >= 0)
                result = ReceiveTimedOut;
            break;
        }
    }
    if (result == 0 && size > 0 && !server.arrived.empty()) {
        size_t length = server.arrived.size() < size ? server.arrived.size() : size;
        // Writes the whole of what was asked for first: a read may fill its
        // buffer completely, and the area must take that.
        std::memset(buffer, 0xEE, size);
        std::memcpy(buffer, server.arrived.data(), length);
        server.deliveredBeforeLast = server.delivered.size();
        server.delivered.append(server.arrived, 0, length);
        server.arrived.erase(0, length);
        result = static_cast<long>(length);
    }
    server.trailingEmpty = result == 0 ? server.trailingEmpty + 1 : 0;
    server.lastResult = result;
    return result;
}

bool Complete(const std::string& bytes) {
    if (bytes.size() < 2)
        return false;
    size_t expected = static_cast<size_t>(static_cast<unsigned char>(bytes[0])) << 8 |
                      static_cast<unsigned char>(bytes[1]);
    return bytes.size() >= expected + 2;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    int limitSeconds = input.Byte();

    // The reply area at the very end of its heap block, with a guard run
    // before it: a byte outside the 1024 is caught either way.
    const size_t Guard = 64;
    char* block = new char[Guard + ReplyAreaSize];
    std::memset(block, 0x77, Guard);
    char* area = block + Guard;

    ScriptedServer server;
    server.input = &input;
    server.area = area;
    server.limitMs = limitSeconds * 1000;
    int64_t started = PlatformMonotonicMs();
    TransactionResult result = CollectReply(area, limitSeconds, ReplyReceiver{Receive, &server});
    bool outOfTime = limitSeconds > 0 && PlatformMonotonicMs() - started >= limitSeconds * 1000;

    for (size_t i = 0; i < Guard; ++i)
        FUZZ_CHECK(block[i] == 0x77);
    FUZZ_CHECK(std::memchr(area, 0, ReplyAreaSize) != nullptr);
    FUZZ_CHECK(result == TransactionResult::Done || result == TransactionResult::Failed);
    std::string text(area);
    const std::string& got = server.delivered;
    if (result == TransactionResult::Done) {
        // Complete with the last read, and not a read earlier.
        FUZZ_CHECK(server.lastResult > 0);
        FUZZ_CHECK(Complete(got));
        FUZZ_CHECK(!Complete(got.substr(0, server.deliveredBeforeLast)));
        FUZZ_CHECK(std::memcmp(area, got.data(), got.size()) == 0 && area[got.size()] == 0);
    } else if (server.lastResult == ReceiveFailed) {
        FUZZ_CHECK(text == "Socket error " + std::to_string(server.lastError) + ".");
    } else if (server.lastResult == ReceiveTimedOut) {
        FUZZ_CHECK(text == "Timeout error.");
    } else if (text == "Timeout error." && outOfTime) {
        // The time limit ran out between reads.
    } else {
        // Five empty reads in a row end it with what had arrived.
        FUZZ_CHECK(server.trailingEmpty == 5);
        FUZZ_CHECK(!Complete(got));
        FUZZ_CHECK(std::memcmp(area, got.data(), got.size()) == 0 && area[got.size()] == 0);
    }
    delete[] block;
    return 0;
}
