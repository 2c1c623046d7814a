// MessageFuzz.cpp - the server message built from any items and settings
// values: it stays inside its 256-byte area, its length bytes count the text,
// and the text reads back into the values it was built from.
//
// Input: a code selector byte, then terminal address, sequence number, client
// number, amount and entry mode (four bytes each, high first), a byte whose
// bit 0 passes no third item, then the first item and the third item, each
// ended by a zero byte or the end of the input.
#include "FuzzCheck.h"

#include "Message.h"
#include "Transaction.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char Separator = '\x1c';

// "%d", or "%02d" when minWidth is 2: zeros go between the sign and the digits.
std::string Decimal(long long value, size_t minWidth = 0) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    size_t sign = value < 0 ? 1 : 0;
    while (digits.size() + sign < minWidth)
        digits.insert(0, "0");
    return (sign != 0 ? "-" : "") + digits;
}

// The message text as the transaction server reads it, put together field by
// field rather than with one format.
std::string ExpectedText(int code, int terminal, int sequence, int client, int amount,
                         const std::string& first, const std::string& third, int entry) {
    std::string fs(1, Separator);
    if (code == TransactionFundsAvailable)
        return Decimal(terminal, 2) + fs + fs + Decimal(code) + fs + Decimal(amount) + fs + fs +
               fs + fs + first + fs + Decimal(entry);
    return Decimal(terminal, 2) + Decimal(sequence) + fs + Decimal(client) + fs + Decimal(code) +
           fs + Decimal(amount) + fs + fs + third + fs + fs + first + fs + Decimal(entry);
}

std::vector<std::string> SplitFields(const std::string& text) {
    std::vector<std::string> fields(1);
    for (char c : text) {
        if (c == Separator)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

// A number field must be exactly the decimal text of one int.
int ParseNumber(const std::string& field) {
    FUZZ_CHECK(!field.empty());
    char* end = nullptr;
    long long value = std::strtoll(field.c_str(), &end, 10);
    FUZZ_CHECK(*end == 0);
    FUZZ_CHECK(value >= INT32_MIN && value <= INT32_MAX);
    return static_cast<int>(value);
}

std::string TakeItem(FuzzInput& input) {
    std::string item;
    while (input.Left() > 0) {
        char c = static_cast<char>(input.Byte());
        if (c == 0)
            break;
        item += c;
    }
    return item;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput input(data, size);
    uint8_t selector = input.Byte();
    int terminal = input.Int();
    int sequence = input.Int();
    int client = input.Int();
    int amount = input.Int();
    int entry = input.Int();
    bool noThird = (input.Byte() & 1) != 0;
    std::string first = TakeItem(input);
    std::string third = TakeItem(input);
    int codes[] = {TransactionFundsAvailable, TransactionSale, TransactionVoid, client};
    int code = codes[selector & 3];
    if (noThird)
        third.clear();

    // The message area alone in its heap block: a byte past it is caught.
    char* out = static_cast<char*>(std::malloc(MessageAreaSize));
    FUZZ_CHECK(out != nullptr);
    int length = BuildMessage(out, code, terminal, sequence, client, amount, first.c_str(),
                              noThird ? nullptr : third.c_str(), entry);

    std::string expected =
        ExpectedText(code, terminal, sequence, client, amount, first, third, entry);
    // Two length bytes and the formatting's terminating zero must fit.
    if (expected.size() + 3 > static_cast<size_t>(MessageAreaSize)) {
        FUZZ_CHECK(length == 0);
        std::free(out);
        return 0;
    }
    FUZZ_CHECK(length == static_cast<int>(expected.size()) + 2);
    int counted = static_cast<unsigned char>(out[0]) << 8 | static_cast<unsigned char>(out[1]);
    FUZZ_CHECK(counted == length - 2);
    std::string text(out + 2, static_cast<size_t>(length - 2));
    FUZZ_CHECK(text == expected);

    // Read back as the server would, when no item hides a separator.
    if (first.find(Separator) == std::string::npos && third.find(Separator) == std::string::npos) {
        std::vector<std::string> fields = SplitFields(text);
        FUZZ_CHECK(fields.size() == 9);
        if (code == TransactionFundsAvailable) {
            FUZZ_CHECK(ParseNumber(fields[0]) == terminal && fields[0].size() >= 2);
            FUZZ_CHECK(fields[1].empty() && fields[4].empty() && fields[5].empty() &&
                       fields[6].empty());
            FUZZ_CHECK(ParseNumber(fields[2]) == code);
            FUZZ_CHECK(ParseNumber(fields[3]) == amount);
            FUZZ_CHECK(fields[7] == first);
        } else {
            // Terminal address (at least two digits) runs straight into the
            // sequence number.
            std::string head = Decimal(terminal, 2);
            FUZZ_CHECK(fields[0].compare(0, head.size(), head) == 0);
            FUZZ_CHECK(ParseNumber(fields[0].substr(head.size())) == sequence);
            FUZZ_CHECK(ParseNumber(fields[1]) == client);
            FUZZ_CHECK(ParseNumber(fields[2]) == code);
            FUZZ_CHECK(ParseNumber(fields[3]) == amount);
            FUZZ_CHECK(fields[4].empty() && fields[6].empty());
            FUZZ_CHECK(fields[5] == third);
            FUZZ_CHECK(fields[7] == first);
        }
        FUZZ_CHECK(ParseNumber(fields[8]) == entry);
    }
    std::free(out);
    return 0;
}
