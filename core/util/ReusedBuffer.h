// A text buffer kept between uses, so the work on each message does not
// allocate afresh: borrow() hands it over empty and the loan gives it back
// when it ends. A use nested in another (a handler that pumps messages and so
// starts another read turn of the same server) finds the buffer out on loan
// and gets a fresh one of its own instead, never the outer one's bytes. A
// buffer grown past kKeptCapacity is let go when it comes back: one long
// message does not keep its memory.
//
// Threads: belongs to the thread of its owner; nothing here is locked.
#pragma once

#include <cstddef>

template <typename Text>
class ReusedBuffer {
public:
    static constexpr size_t kKeptCapacity = 4096;

    class Loan {
    public:
        explicit Loan(ReusedBuffer& home) : home_(home), text_(home.lent_ ? &own_ : &home.text_) {
            home_.lent_ = true;
            text_->clear();
        }
        ~Loan() {
            if (text_ != &home_.text_) return;  // a nested loan: its own buffer goes with it
            home_.lent_ = false;
            if (text_->capacity() > kKeptCapacity) Text().swap(*text_);
        }
        Loan(const Loan&) = delete;
        Loan& operator=(const Loan&) = delete;

        Text& text() { return *text_; }

    private:
        ReusedBuffer& home_;
        Text own_;
        Text* text_;
    };

    Loan borrow() { return Loan(*this); }
    // What the buffer keeps while no loan is out (for tests).
    size_t keptCapacity() const { return text_.capacity(); }

private:
    Text text_;
    bool lent_ = false;
};
