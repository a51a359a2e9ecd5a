#include "hook/QueueSizing.h"

namespace queuesizing {

void EnlargeQueue(wintab::HCTX context, wintab::WTQueueSizeGetFn getSize, wintab::WTQueueSizeSetFn setSize) {
    if (getSize == nullptr || setSize == nullptr) return;
    const int before = getSize(context);
    if (before <= 0) return;
    bool refused = false;
    for (int size : kSizesToTry) {
        if (size <= before) break;
        if (setSize(context, size)) return;
        refused = true;
    }
    if (refused) setSize(context, before);
}

}  // namespace queuesizing
