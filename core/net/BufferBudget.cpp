#include "core/net/BufferBudget.h"

#include <algorithm>

#include "core/util/Log.h"

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
        BudgetMember* holder = nullptr;
        SOCKET client = INVALID_SOCKET;
        size_t most = 0;
        for (BudgetMember* member : members_) {
            size_t bytes = 0;
            const SOCKET candidate = member->largestHolder(bytes);
            if (candidate != INVALID_SOCKET && bytes > most) {
                holder = member;
                client = candidate;
                most = bytes;
            }
        }
        if (holder == nullptr) break;
        LogFormatted("Service buffers full, closing the client holding the most [%d]", holder->port());
        holder->closeClient(client);  // its buffers are dropped at once
    }
    enforcing_ = false;
}
