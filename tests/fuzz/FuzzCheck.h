// FuzzCheck.h - what the fuzz harnesses share: a check that stops the run
// with the broken condition, and a reader that takes fixed-size values and
// byte runs off the front of a fuzz input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// abort() so that libFuzzer records the input as a crash.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// Hands out the input front to back; past the end it yields zeros and empty
// runs, so every input, however short, is a complete case.
class FuzzInput {
  public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }

    uint32_t Word() {
        uint32_t value = 0;
        for (int i = 0; i < 4; ++i)
            value = value << 8 | Byte();
        return value;
    }

    int Int() { return static_cast<int>(Word()); }

    int64_t Int64() {
        uint64_t high = Word();
        return static_cast<int64_t>(high << 32 | Word());
    }

    // Up to max bytes from the front; *length tells how many.
    const uint8_t* Take(size_t max, size_t* length) {
        size_t left = size_ - pos_;
        *length = left < max ? left : max;
        const uint8_t* run = data_ + pos_;
        pos_ += *length;
        return run;
    }

    size_t Left() const { return size_ - pos_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};
