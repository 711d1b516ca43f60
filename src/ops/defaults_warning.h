// A method whose dependency names a decorated method without arguments,
// where every call of that method binds defaults: the entry the dependency
// names is never computed, so the method is never cached. The first time a
// commit finds that, `DependencyDefaultsWarning` says so, once per class
// and method; `explain` words the same cause.
#pragma once

#include "cache/objects.h"

#include <vector>

namespace quendle {

// `quendle.DependencyDefaultsWarning`, a UserWarning subclass, made once.
Result<PyObject*> dependency_defaults_warning_type();

// The (name, value) pairs a call without arguments of the method `name`
// binds, when the class of `inst` has a cached decorated method of that name
// that takes defaults; a null Ref otherwise (no such method, no defaults,
// or a call without arguments does not bind).
Result<Ref> defaults_bound_by(PyObject* inst, PyObject* name);

// After a commit of `key`: the names of its declared dependencies without
// arguments that have no entry, when the commit left the entry permanently
// invalid. Runs no Python code beyond key comparisons of strings.
Result<std::vector<Ref>> unentered_dependencies(const CacheState& state, const DecoratorFields& d, CacheKey key);

// Unless the class of `inst` was looked at for this method before: records
// it as looked at and warns about the first of `names` that binds defaults
// (no borrow may be held: warning filters and `inspect` run).
Status warn_dependency_defaults(PyObject* inst, const DecoratorFields& d, const std::vector<Ref>& names);

}  // namespace quendle
