#pragma once
// A host's only reference to its recorder, let go of from inside a report.
#include <memory>
#include <mutex>

#include "kestrune/KNRecorder.h"

namespace kntest {

struct HeldRecorder {
    void letGo() {
        std::shared_ptr<KNRecorder> last;
        {
            std::lock_guard lock(mutex);
            last = std::move(held);
        }
        last.reset();  // the recorder goes here, on this thread, if nothing else holds it
    }
    std::mutex mutex;
    std::shared_ptr<KNRecorder> held;
};

}  // namespace kntest
