// The events of an instance's changes and runs, queued for the calling
// thread's open traces: which keys a change reached, through which
// dependency, and why a run runs.
#include "cache/cache_state.h"

#include <unordered_map>

namespace quendle {

void CacheState::note_demoted(const std::vector<CacheKey>& demoted, const std::vector<CacheKey>* reached,
                              EventCause cause, std::optional<CacheKey> origin) noexcept {
    // The change is made: the traces are told at the next flush that their
    // record is incomplete.
    try {
        queue_demoted(demoted, reached, cause, origin);
    } catch (const std::bad_alloc&) {
        observe::note_lost();
    }
}

void CacheState::queue_demoted(const std::vector<CacheKey>& demoted, const std::vector<CacheKey>* reached,
                               EventCause cause, std::optional<CacheKey> origin) {
    // Each event names a dependency through which the change reached the
    // key: the one reached first, the origin before any other.
    std::unordered_map<CacheKey, size_t> order;
    if (reached != nullptr) {
        for (size_t i = 0; i < reached->size(); ++i) {
            order.emplace((*reached)[i], i);
        }
    }
    for (CacheKey d : demoted) {
        std::optional<CacheKey> via;
        size_t best = SIZE_MAX;
        if (const KeySet* deps = tracker_.dependencies(d); deps != nullptr && d != origin) {
            deps->for_each([&](CacheKey x) {
                auto it = order.find(x);
                if (it != order.end() && x != d && it->second < best) {
                    best = it->second;
                    via = x;
                }
            });
        }
        if (via == origin) {
            via.reset();
        }
        queue_event(EventKind::Invalidated, d, cause, origin, via);
    }
}

void CacheState::queue_event(EventKind kind, CacheKey k, EventCause cause, std::optional<CacheKey> origin,
                             std::optional<CacheKey> via) {
    if (owner_ == nullptr) {
        return;
    }
    observe::queue(QueuedEvent{kind, cause, Ref::borrow(owner_), k, origin.value_or(0), via.value_or(0),
                               origin.has_value(), via.has_value()});
}

void CacheState::queue_run(CacheKey k) {
    const Diagnosis d = diagnose(k);
    const size_t last = d.path.empty() ? 0 : d.path.size() - 1;
    std::optional<CacheKey> origin = last > 0 ? std::optional<CacheKey>(d.path[last]) : std::nullopt;
    std::optional<CacheKey> via = last > 1 ? std::optional<CacheKey>(d.path[1]) : std::nullopt;
    EventCause cause = EventCause::Unrecorded;
    switch (d.kind) {
        case Diagnosis::Kind::PermanentlyInvalid:
            cause = EventCause::NotCached;
            origin.reset();
            via.reset();
            break;
        case Diagnosis::Kind::ValidWithoutValue:
        case Diagnosis::Kind::Served:
            cause = EventCause::NoValue;
            break;
        case Diagnosis::Kind::NoEntry:
        case Diagnosis::Kind::Invalid:
            switch (d.cause) {
                case Diagnosis::Cause::Change:
                    switch (d.change) {
                        case ChangeKind::Updated:
                            cause = EventCause::Update;
                            break;
                        case ChangeKind::Cleared:
                            cause = EventCause::Clear;
                            break;
                        case ChangeKind::Invalidated:
                            cause = EventCause::Recomputation;
                            break;
                    }
                    if (!origin) {
                        origin = k;
                    }
                    break;
                case Diagnosis::Cause::ClearAll:
                    cause = EventCause::ClearAll;
                    break;
                case Diagnosis::Cause::InvalidDependency:
                    cause = EventCause::InvalidDependency;
                    break;
                default:
                    cause = d.has_value ? EventCause::Unrecorded : EventCause::FirstCall;
                    origin.reset();
                    via.reset();
                    break;
            }
            break;
    }
    queue_event(EventKind::Run, k, cause, origin, via);
}

}  // namespace quendle
