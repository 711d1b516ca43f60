// The computations in progress of an instance: the stack of calls in
// progress per thread, the snapshot each started
// from (key epoch, whole-cache clears, scenario layer changes), the commit
// of a result that checks it, and the asynchronous computations that
// awaiters of the same key on the same event loop join.
#include "base/borrow.h"
#include "cache/cache_state.h"

#include <algorithm>

namespace quendle {

Result<Snapshot> CacheState::start_snapshot(CacheKey k) {
    if (epochs_.size() <= k) {
        epochs_.resize(k + 1, 0);
    }
    return snapshot(k);
}

Snapshot CacheState::snapshot(CacheKey k) const noexcept {
    Snapshot s;
    s.revision = revision_;
    s.key_epoch = k < epochs_.size() ? epochs_[k] : 0;
    s.clear_epoch = clear_epoch_;
    s.layer_changes = layer_changes_;
    return s;
}

bool CacheState::commit_computed(CacheKey k, const Snapshot& started, bool use_cache, ValidationState elsewhere,
                                 Ref value, Graveyard& dead, bool kept) {
    reserve_stamp(k);
    if (!use_cache) {
        mark_permanently_invalid(k);
    }
    if (started.revision != revision_ && !(snapshot(k) == started)) {
        dead.bury(value.release());
        return false;
    }
    bool permanently_invalid = elsewhere == ValidationState::PermanentlyInvalid;
    bool any_invalid = elsewhere == ValidationState::Invalid;
    if (const KeySet* deps = dependencies_of(k)) {
        deps->for_each([&](CacheKey d) {
            switch (tracker_.read(d)) {
                case ValidationState::PermanentlyInvalid:
                    permanently_invalid = true;
                    break;
                case ValidationState::Invalid:
                    any_invalid = true;
                    break;
                case ValidationState::Valid:
                    break;
            }
        });
    }
    if (permanently_invalid) {
        forget_change(k);
        mark_permanently_invalid(k);
    } else if (any_invalid) {
        // Computed from a stale input: the one record of this invalidation.
        note_change(k, ChangeKind::Invalidated);
        invalidate(k);
    } else {
        forget_change(k);
        if (!stamping_) {
            revalidate(k);  // no key has a cut-off: nothing to stamp, nothing kept
        } else {
            revalidate(k, kept ? DependencyTracker::kKept : 0);
            const std::uint64_t now = next_tick();
            tracker_.set_stamps(k, Stamps{kept ? tracker_.stamps_of(k).changed : now, now});
            if (kept) {
                ++counters_.of(k).unchanged;
            }
        }
    }
    store_value(k, std::move(value), dead);
    return true;
}

bool CacheState::has_pending(CacheKey k, const Snapshot& s) const noexcept {
    for (const PendingComputation& p : pending_) {
        if (p.key == k && p.started == s) {
            return true;
        }
    }
    return false;
}

PyObject* CacheState::find_pending(CacheKey k, const Snapshot& s, PyObject* loop) const noexcept {
    for (const PendingComputation& p : pending_) {
        if (p.key == k && p.started == s && p.loop.get() == loop) {
            return p.computation.get();
        }
    }
    return nullptr;
}

void CacheState::add_pending(PendingComputation p) { pending_.push_back(std::move(p)); }

void CacheState::remove_pending(PyObject* which, Graveyard& dead) noexcept {
    for (auto it = pending_.begin(); it != pending_.end(); ++it) {
        if (it->driver.get() == which || it->computation.get() == which) {
            PendingComputation gone = std::move(*it);
            pending_.erase(it);
            dead.bury(gone.loop.release());
            dead.bury(gone.computation.release());
            dead.bury(gone.driver.release());
            return;
        }
    }
}

int CacheState::traverse_pending(visitproc visit, void* arg) const {
    for (const PendingComputation& p : pending_) {
        Py_VISIT(p.loop.get());
        Py_VISIT(p.computation.get());
        Py_VISIT(p.driver.get());
    }
    return 0;
}

void CacheState::clear_pending(Graveyard& dead) noexcept {
    std::vector<PendingComputation> old;
    old.swap(pending_);
    for (PendingComputation& p : old) {
        dead.bury(p.loop.release());
        dead.bury(p.computation.release());
        dead.bury(p.driver.release());
    }
}

const CallFrame* CacheState::top_frame(unsigned long thread) const noexcept {
    for (const ThreadStack& s : call_stacks_) {
        if (s.thread == thread) {
            return s.frames.empty() ? nullptr : &s.frames.back();
        }
    }
    return nullptr;
}

void CacheState::push_frame(unsigned long thread, CallFrame frame) {
    for (ThreadStack& s : call_stacks_) {
        if (s.thread == thread) {
            s.frames.push_back(frame);
            ++running_;
            return;
        }
    }
    // Stacks of threads with nothing in progress are kept for reuse, but
    // only a few: drop the idle ones before adding another thread.
    if (call_stacks_.size() >= 8) {
        std::erase_if(call_stacks_, [](const ThreadStack& s) { return s.frames.empty(); });
    }
    call_stacks_.push_back(ThreadStack{thread, {}});
    call_stacks_.back().frames.push_back(frame);
    ++running_;
}

unsigned long CacheState::computing_elsewhere(CacheKey k, unsigned long thread) const noexcept {
    const Snapshot now = snapshot(k);
    for (const ThreadStack& s : call_stacks_) {
        if (s.thread == thread) {
            continue;
        }
        for (const CallFrame& f : s.frames) {
            if (f.key == k && f.shared != nullptr && !borrow_detail::thread_vanished(s.thread, f.fork) && *f.shared == now) {
                return s.thread;
            }
        }
    }
    return 0;
}

bool CacheState::still_computing(CacheKey k, unsigned long thread) const noexcept {
    for (const ThreadStack& s : call_stacks_) {
        if (s.thread == thread) {
            return std::any_of(s.frames.begin(), s.frames.end(), [&](const CallFrame& f) {
                return f.key == k && f.shared != nullptr && !borrow_detail::thread_vanished(s.thread, f.fork);
            });
        }
    }
    return false;
}

void CacheState::pop_frame(unsigned long thread) noexcept {
    for (ThreadStack& s : call_stacks_) {
        if (s.thread == thread) {
            if (!s.frames.empty()) {
                s.frames.pop_back();
                --running_;
            }
            return;
        }
    }
}

}  // namespace quendle
