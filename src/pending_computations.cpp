// The asynchronous computations in progress of an instance: the snapshot
// each started from (key epoch, whole-cache clears, scenario layer changes), and
// the entries that awaiters of the same key on the same event loop join.
#include "metadata_hash_manager.h"

namespace quendle {

Result<Snapshot> CacheState::start_snapshot(CacheKey k) {
    if (epochs_.size() <= k) {
        epochs_.resize(k + 1, 0);
    }
    return snapshot(k);
}

Snapshot CacheState::snapshot(CacheKey k) const noexcept {
    Snapshot s;
    s.key_epoch = k < epochs_.size() ? epochs_[k] : 0;
    s.clear_epoch = clear_epoch_;
    s.layer_changes = layer_changes_;
    return s;
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

}  // namespace quendle
