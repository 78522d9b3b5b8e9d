// Lookups in a dict made again and again with the same keys: the declared
// type of each column of every fetched row, looked up in the table's
// description.  Each answer is exactly what PyDict_GetItemWithError(dict, key)
// gives at that moment.
#pragma once
#include "compat.hpp"
#include "fast.hpp"
#include "ref.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace rt {

// The entries a dict held for the keys of a row, in the row's order,
// remembered from one call to the next: a later row with the very same key
// objects in the same order finds the same entries while the dict is
// unchanged (its version; checked at every read, since the caller may run
// Python code between reads).  Only a dict whose keys are all exact str,
// read with exact str keys, is remembered: those lookups run no code.  The
// key objects are kept alive here, so that an address is never reused for
// another key; the entries are borrowed from the dict, which holds them
// while it is unchanged.  Declare at file scope, one per kind of lookup:
//   rt::RowLookups g_column_types;
class RowLookups {
public:
    static constexpr size_t kMaxKeys = 32;
    RowLookups() noexcept = default;
    RowLookups(const RowLookups&) = delete;
    RowLookups& operator=(const RowLookups&) = delete;

    // One row's lookups, key after key, within one call.
    class Row {
    public:
        Row(RowLookups& memo, PyObject* dict) noexcept : memo_(memo), dict_(dict) {}
        Row(const Row&) = delete;
        Row& operator=(const Row&) = delete;

        // dict.get(key) for the row's next key, in *found (borrowed; nullptr
        // when absent).  *quiet is set when no code ran for it (the answer was
        // remembered).  False with an exception set.
        bool get(PyObject* key, PyObject** found, bool* quiet) {
            const size_t i = n_++;
            if (!pending_ && i < memo_.n_ && memo_.keys_[i].get() == key && dict_ == memo_.dict_ &&
                compat::dict_unchanged(dict_, memo_.version_)) {
                *found = memo_.values_[i];
                *quiet = true;
                return true;
            }
            *quiet = false;
            return miss(i, key, found);
        }
        // After the row's last key: what this row found is remembered when
        // it differs from what was, every key was an exact str and the dict,
        // whose keys are all exact str, is unchanged since the first lookup.
        void finish() {
            if (!pending_) {
                // Every key was a remembered one; a row with fewer keys leaves the longer row remembered.
                return;
            }
            if (!learnable_ || n_ > kMaxKeys || !compat::dict_unchanged(dict_, version_) || !str_keys_only(dict_))
                return;
            Ref before[kMaxKeys];
            for (size_t i = 0; i < n_; ++i) {
                before[i] = memo_.keys_[i].replace(pending_->keys[i].get());
                memo_.values_[i] = pending_->values[i];
            }
            for (size_t i = n_; i < memo_.n_; ++i) before[i] = memo_.keys_[i].replace(nullptr);
            memo_.n_ = n_;
            memo_.dict_ = dict_;
            memo_.version_ = version_;
        }

    private:
        struct Pending {
            Ref keys[kMaxKeys];
            PyObject* values[kMaxKeys] = {};  // borrowed from the dict
        };

        bool miss(size_t i, PyObject* key, PyObject** found) {
            if (!pending_) {
                // The first key not remembered: from here on every key is
                // looked up, and what the row finds is noted for learning,
                // the remembered entries before it included.  The version is
                // taken before the lookups it vouches for.
                pending_.reset(new (std::nothrow) Pending);
                version_ = PyDict_CheckExact(dict_) ? compat::dict_version(dict_) : 0;
                learnable_ = pending_ && version_ && i <= kMaxKeys &&
                             (i == 0 || (dict_ == memo_.dict_ && compat::dict_unchanged(dict_, memo_.version_)));
                for (size_t j = 0; learnable_ && j < i; ++j) {
                    pending_->keys[j] = borrow(memo_.keys_[j].get());
                    pending_->values[j] = memo_.values_[j];
                }
            }
            *found = PyDict_GetItemWithError(dict_, key);
            if (!*found && PyErr_Occurred()) return false;
            if (!learnable_ || i >= kMaxKeys || !PyUnicode_CheckExact(key)) {
                learnable_ = false;
                return true;
            }
            pending_->keys[i] = borrow(key);
            pending_->values[i] = *found;
            return true;
        }

        RowLookups& memo_;
        PyObject* dict_;
        uint64_t version_ = 0;
        size_t n_ = 0;
        bool learnable_ = false;
        std::unique_ptr<Pending> pending_;
    };

private:
    PyObject* dict_ = nullptr;  // identity only; its version tells whether it is the same dict
    uint64_t version_ = 0;
    size_t n_ = 0;
    Kept keys_[kMaxKeys];
    PyObject* values_[kMaxKeys] = {};  // borrowed from dict_, which holds them while unchanged
};

// That a dict is unchanged since a moment within one call (its version
// then): a lookup made then of an exact str in it, when its keys are all
// exact str, found what the same lookup finds now.  Lives for one call.
class UnchangedSince {
public:
    explicit UnchangedSince(PyObject* dict) noexcept
        : dict_(dict), version_(PyDict_CheckExact(dict) ? compat::dict_version(dict, compat::Keep::Call) : 0) {}
    bool holds() const noexcept { return compat::dict_unchanged(dict_, version_, compat::Keep::Call); }

private:
    PyObject* dict_;
    uint64_t version_;
};

}  // namespace rt
