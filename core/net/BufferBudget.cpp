#include "core/net/BufferBudget.h"

#include <algorithm>

#include "core/util/Log.h"

bool CapCandidate::closesBefore(const CapCandidate& other) const {
    if (socket == INVALID_SOCKET || other.socket == INVALID_SOCKET)
        return other.socket == INVALID_SOCKET && socket != INVALID_SOCKET;
    if (outputWaiting != other.outputWaiting) return outputWaiting;
    if (keyless != other.keyless) return keyless;
    if (outputWaiting && idleMs != other.idleMs) return idleMs > other.idleMs;
    return bytes > other.bytes;
}

void BufferBudget::attach(BudgetMember& member) {
    if (std::find(members_.begin(), members_.end(), &member) != members_.end()) return;
    members_.push_back(&member);
    total_ += member.heldBytes();  // what its clients hold already
    member.countTo(this);
}

void BufferBudget::detach(BudgetMember& member) {
    const auto entry = std::find(members_.begin(), members_.end(), &member);
    if (entry == members_.end()) return;
    members_.erase(entry);
    adjust(member.heldBytes(), 0);
    member.countTo(nullptr);
}

bool BufferBudget::onOwningThread() {
    const DWORD thread = GetCurrentThreadId();
    if (owner_ == 0) owner_ = thread;
    if (owner_ == thread) return true;
    if (!complained_) {
        complained_ = true;
        LogMessage(std::string("BufferBudget used from a thread that does not own it, call ignored"));
    }
    return false;
}

void BufferBudget::adjust(size_t before, size_t after) {
    if (!onOwningThread()) return;
    total_ = total_ - std::min(before, total_) + after;
}

void BufferBudget::enforce() {
    if (!onOwningThread()) return;
    // Closing a client can make others send (a freed channel is announced):
    // the outer call goes on until the total fits.
    if (enforcing_) return;
    enforcing_ = true;
    while (total_ > cap_) {
        const DWORD now = GetTickCount();
        BudgetMember* holder = nullptr;
        CapCandidate first;
        for (BudgetMember* member : members_) {
            const CapCandidate candidate = member->capCandidate(now);
            if (candidate.closesBefore(first)) {
                holder = member;
                first = candidate;
            }
        }
        if (holder == nullptr) break;
        if (first.outputWaiting) {
            LogFormatted("Service buffers full, closing the client that has left its output unread longest [%d]",
                         holder->port());
        } else {
            LogFormatted("Service buffers full, closing the client holding the most [%d]", holder->port());
        }
        holder->closeClient(first.socket);  // its buffers are dropped at once
    }
    enforcing_ = false;
}
