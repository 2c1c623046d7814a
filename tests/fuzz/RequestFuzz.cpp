// RequestFuzz.cpp - one received request, as the connection thread holds it,
// through to its decision and the response built from it.
//
// Input: a flags byte (bit 0 AllowVoid, bits 1-2 which client number, bits
// 3-4 the exchange's result), two bytes of reply length, eight bytes of
// response time, then the request bytes (at most 2047). The simulated reply is
// taken from the end of the request bytes.
#include "FuzzCheck.h"

#include "Request.h"
#include "Transaction.h"

#include <climits>
#include <string>

namespace {

struct KnownAnswer {
    const char* status;
    const char* body; // null: the body is the exchange's
};

const KnownAnswer Answers[] = {
    {"200 OK", nullptr},
    {"400 Bad Request", "Syntax error."},
    {"403 Forbidden", "Access denied."},
    {"404 Not Found", "File not found"},
    {"405 Method Not Allowed", "Method not allowed."},
    {"504 Gateway Timeout", nullptr},
};

const KnownAnswer* FindAnswer(const char* status) {
    for (const KnownAnswer& known : Answers) {
        if (std::strcmp(status, known.status) == 0)
            return &known;
    }
    return nullptr;
}

bool InsideArea(const char* p, const char* area) {
    return p >= area && p < area + WorkAreaSize;
}

// An item must lie wholly in the area, zero-terminated there, and be free of
// the bytes that split items or fields.
void CheckItem(const char* item, const char* area) {
    FUZZ_CHECK(item != nullptr);
    FUZZ_CHECK(InsideArea(item, area));
    const void* end = std::memchr(item, 0, static_cast<size_t>(area + WorkAreaSize - item));
    FUZZ_CHECK(end != nullptr);
    FUZZ_CHECK(*item != 0);
    for (const char* p = item; *p != 0; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        FUZZ_CHECK(c != '+' && c >= 0x20 && c != 0x7F);
    }
}

bool StartsWithIgnoringCase(const char* text, const char* prefix) {
    for (; *prefix != 0; ++text, ++prefix) {
        char a = *text >= 'A' && *text <= 'Z' ? static_cast<char>(*text - 'A' + 'a') : *text;
        char b =
            *prefix >= 'A' && *prefix <= 'Z' ? static_cast<char>(*prefix - 'A' + 'a') : *prefix;
        if (a != b)
            return false;
    }
    return true;
}

const int ClientNumbers[] = {0, 1, 7, INT_MIN};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    uint8_t flags = input.Byte();
    bool voidAllowed = (flags & 1) != 0;
    int clientNumber = ClientNumbers[(flags >> 1) & 3];
    int resultChoice = (flags >> 3) & 3;
    size_t replyWanted = (static_cast<size_t>(input.Byte()) << 8 | input.Byte()) % ReplyAreaSize;
    int64_t when = input.Int64();
    size_t received = 0;
    const uint8_t* request = input.Take(RequestMaxBytes, &received);

    // Exactly the connection thread's area: 2048 bytes on the heap, so that
    // any byte past either end is caught.
    char* area = new char[WorkAreaSize];
    std::memset(area, 0x5A, WorkAreaSize);
    std::memcpy(area, request, received);
    area[received] = 0;
    std::string text(area); // what the request says, up to its first zero

    RequestDecision decision;
    DecideRequest(area, clientNumber, voidAllowed, &decision);

    const KnownAnswer* known = FindAnswer(decision.answer.status);
    FUZZ_CHECK(known != nullptr);
    FUZZ_CHECK(decision.transaction.clientNumber == clientNumber);
    size_t get = text.find("GET ");
    if (clientNumber == 0) {
        FUZZ_CHECK(decision.transaction.code == 0);
        FUZZ_CHECK(std::strcmp(known->status, "403 Forbidden") == 0);
    } else if (get == std::string::npos) {
        FUZZ_CHECK(decision.transaction.code == 0);
        FUZZ_CHECK(std::strcmp(known->status, "405 Method Not Allowed") == 0);
    }
    if (decision.transaction.code == 0) {
        // Refusals carry their fixed words; 200 and 504 come only from an exchange.
        FUZZ_CHECK(known->body != nullptr);
        FUZZ_CHECK(std::strcmp(decision.answer.body, known->body) == 0);
    } else {
        FUZZ_CHECK(clientNumber != 0 && get != std::string::npos);
        const char* url = text.c_str() + get + 4;
        CheckItem(decision.transaction.card, area);
        FUZZ_CHECK(text.find(decision.transaction.card, get + 4) != std::string::npos);
        if (decision.transaction.code == TransactionFundsAvailable) {
            FUZZ_CHECK(StartsWithIgnoringCase(url, "/FundsAvailable?"));
            FUZZ_CHECK(decision.transaction.reference == nullptr);
        } else {
            FUZZ_CHECK(decision.transaction.code == TransactionSale ||
                       decision.transaction.code == TransactionVoid);
            FUZZ_CHECK(StartsWithIgnoringCase(
                url, decision.transaction.code == TransactionSale ? "/Sale?" : "/Void?"));
            FUZZ_CHECK(decision.transaction.code == TransactionSale || voidAllowed);
            CheckItem(decision.transaction.reference, area);
            FUZZ_CHECK(text.find(decision.transaction.reference, get + 4) != std::string::npos);
        }
    }

    // The exchange: it fills the reply area (the upper half) and zero-
    // terminates it; a complete reply has at least its two length bytes.
    char* replyArea = ReplyAreaOf(area);
    FUZZ_CHECK(replyArea == area + WorkAreaSize - ReplyAreaSize);
    HttpAnswer answer = decision.answer;
    if (decision.transaction.code != 0) {
        size_t replyLength = replyWanted < received ? replyWanted : received;
        TransactionResult result = resultChoice == 1   ? TransactionResult::Done
                                   : resultChoice == 2 ? TransactionResult::TooLong
                                                       : TransactionResult::Failed;
        if (result == TransactionResult::Done && replyLength < 2)
            result = TransactionResult::Failed;
        std::memcpy(replyArea, request + received - replyLength, replyLength);
        replyArea[replyLength] = 0;
        TillAnswer till = AnswerTransaction(result, replyArea);
        answer = {till.status, till.body};
        if (result == TransactionResult::Done) {
            FUZZ_CHECK(std::strcmp(answer.status, "200 OK") == 0);
            FUZZ_CHECK(answer.body == replyArea + 2);
        } else if (result == TransactionResult::Failed) {
            FUZZ_CHECK(std::strcmp(answer.status, "504 Gateway Timeout") == 0);
            FUZZ_CHECK(answer.body == replyArea);
        } else {
            FUZZ_CHECK(std::strcmp(answer.status, "400 Bad Request") == 0);
        }
    }

    char date[64];
    FormatHttpDate(when, date, sizeof date);
    FUZZ_CHECK(std::memchr(date, 0, sizeof date) != nullptr);
    // Any instant, even far from now, gives a whole date that fits.
    FUZZ_CHECK(std::strlen(date) >= 26 && std::strcmp(date + std::strlen(date) - 4, " GMT") == 0);

    // The response: header block, then the body moved down behind it, whole.
    std::string status = answer.status;
    std::string body = answer.body;
    size_t length = BuildResponse(area, WorkAreaSize, answer, date);
    FUZZ_CHECK(length <= WorkAreaSize);
    std::string response(area, length);
    size_t headerEnd = response.find("\r\n\r\n");
    FUZZ_CHECK(headerEnd != std::string::npos);
    FUZZ_CHECK(headerEnd + 4 < 200);
    FUZZ_CHECK(response.compare(0, 11 + status.size(), "HTTP/1.1 " + status + "\r\n") == 0);
    FUZZ_CHECK(response.find("\r\nDate: " + std::string(date) + "\r\n") < headerEnd);
    FUZZ_CHECK(response.substr(headerEnd + 4) == body);

    delete[] area;
    return 0;
}
