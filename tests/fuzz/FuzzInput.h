#pragma once
// Helpers shared by the fuzz targets: reading choices out of the fuzzer's
// bytes, and a check that stops the run with a message when a property fails.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                     \
    do {                                                                                     \
        if (!(cond)) {                                                                       \
            std::fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #cond); \
            std::abort();                                                                    \
        }                                                                                    \
    } while (0)

// Takes bytes from the front of the input; past its end everything reads as 0.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return pos_ >= size_; }
    size_t left() const { return pos_ < size_ ? size_ - pos_ : 0; }
    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    // n bytes, or what is left.
    const uint8_t* take(size_t n, size_t* got) {
        *got = n < left() ? n : left();
        const uint8_t* p = data_ + pos_;
        pos_ += *got;
        return p;
    }
    const uint8_t* rest(size_t* got) { return take(left(), got); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};
