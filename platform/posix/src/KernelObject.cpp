// KernelObject.cpp -- the process-wide handle table.
//
// Handles are small multiples of 4, like Windows', indexing a table of object pointers. A
// lookup takes a reference under the table's lock, so an object stays valid for a call that
// races with CloseHandle on another thread.
#include "KernelObject.h"

#include "Win32Error.h"

#include <vector>

namespace kvposix {

namespace {

constexpr size_t kMaxHandles = size_t(1) << 24;

struct HandleTable {
    std::mutex lock;
    std::vector<KernelObject*> slots;
    std::vector<size_t> freeSlots;
};

// Never destroyed: detached threads may still close handles while the process exits.
HandleTable& Table() {
    static HandleTable* table = new HandleTable;
    return *table;
}

bool SlotOf(HANDLE handle, size_t* slot) {
    uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    if (value == 0 || (value & 3) != 0) return false;
    *slot = value / 4 - 1;
    return true;
}

HANDLE HandleOf(size_t slot) { return reinterpret_cast<HANDLE>((slot + 1) * 4); }

// Removes the table's pointer for `handle` if `accept` approves the object; returns it.
template <class Accept>
KernelObject* Detach(HANDLE handle, Accept accept) {
    HandleTable& table = Table();
    size_t slot = 0;
    std::lock_guard<std::mutex> guard(table.lock);
    if (!SlotOf(handle, &slot) || slot >= table.slots.size()) return nullptr;
    KernelObject* object = table.slots[slot];
    if (!object || !accept(object)) return nullptr;
    table.slots[slot] = nullptr;
    table.freeSlots.push_back(slot);
    return object;
}

}  // namespace

bool KernelObject::TryAddRef() {
    long refs = mRefs.load(std::memory_order_relaxed);
    while (refs > 0) {
        if (mRefs.compare_exchange_weak(refs, refs + 1, std::memory_order_relaxed)) return true;
    }
    return false;
}

DWORD KernelObject::Wait(DWORD) { return FailWith(ERROR_INVALID_HANDLE, WAIT_FAILED); }

HANDLE InsertHandle(KernelObject* object) {
    HandleTable& table = Table();
    std::unique_lock<std::mutex> guard(table.lock);
    size_t slot = 0;
    try {
        if (!table.freeSlots.empty()) {
            slot = table.freeSlots.back();
            table.freeSlots.pop_back();
        } else if (table.slots.size() < kMaxHandles) {
            table.slots.push_back(nullptr);
            slot = table.slots.size() - 1;
        } else {
            guard.unlock();
            object->Release();
            return FailWith(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
        }
    } catch (const std::bad_alloc&) {
        guard.unlock();
        object->Release();
        return FailWith(ERROR_NOT_ENOUGH_MEMORY, HANDLE(nullptr));
    }
    table.slots[slot] = object;
    return HandleOf(slot);
}

namespace {

template <class Accept>
Ref<KernelObject> Reference(HANDLE handle, Accept accept) {
    HandleTable& table = Table();
    size_t slot = 0;
    {
        std::lock_guard<std::mutex> guard(table.lock);
        if (SlotOf(handle, &slot) && slot < table.slots.size()) {
            KernelObject* object = table.slots[slot];
            if (object && accept(object)) {
                object->AddRef();
                return Ref<KernelObject>(object);
            }
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return Ref<KernelObject>();
}

}  // namespace

Ref<KernelObject> ReferenceHandle(HANDLE handle, ObjectKind kind) {
    return Reference(handle, [kind](KernelObject* o) { return o->kind() == kind; });
}

Ref<KernelObject> ReferenceAnyHandle(HANDLE handle) {
    return Reference(handle, [](KernelObject*) { return true; });
}

bool RemoveHandle(HANDLE handle, ObjectKind kind) {
    KernelObject* object = Detach(handle, [kind](KernelObject* o) { return o->kind() == kind; });
    if (!object) return FailWith(ERROR_INVALID_HANDLE, false);
    object->Release();
    return true;
}

bool RemoveAnyHandle(HANDLE handle) {
    KernelObject* object = Detach(handle, [](KernelObject* o) { return o->kind() != ObjectKind::Find; });
    if (!object) return FailWith(ERROR_INVALID_HANDLE, false);
    object->Release();
    return true;
}

}  // namespace kvposix
