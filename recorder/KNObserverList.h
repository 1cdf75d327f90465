#pragma once
// An ordered list of observers held weakly: an observer that went away is skipped, never kept
// alive. Duplicates stay; removal drops every occurrence. Walks go over a copy taken under the
// lock, so an observer may add or remove observers (itself too) while it is being told.
#include <memory>
#include <mutex>
#include <vector>

template <class Observer>
class KNObserverList {
public:
    void add(const std::shared_ptr<Observer>& observer) {
        if (!observer) return;
        std::lock_guard lock(mutex_);
        observers_.push_back(observer);
    }

    void remove(const std::shared_ptr<Observer>& observer) {
        std::lock_guard lock(mutex_);
        std::erase_if(observers_, [&](const std::weak_ptr<Observer>& entry) {
            return entry.expired() || (!entry.owner_before(observer) && !observer.owner_before(entry));
        });
    }

    // The live observers in list order, as they stand now.
    std::vector<std::shared_ptr<Observer>> snapshot() const {
        std::vector<std::shared_ptr<Observer>> live;
        std::lock_guard lock(mutex_);
        live.reserve(observers_.size());
        for (const auto& entry : observers_) {
            if (auto observer = entry.lock()) live.push_back(std::move(observer));
        }
        return live;
    }

    // True at the first observer that answers true; later ones are not asked.
    template <class Query>
    bool any(Query query) const {
        for (const auto& observer : snapshot()) {
            if (query(*observer)) return true;
        }
        return false;
    }

    template <class Call>
    void each(Call call) const {
        for (const auto& observer : snapshot()) call(*observer);
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::weak_ptr<Observer>> observers_;
};
