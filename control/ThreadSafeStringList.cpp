#include "control/ThreadSafeStringList.h"

#include "core/Exception.h"

namespace kivra {
namespace {

[[noreturn]] void IndexError(int index)
{
    throw Exception("List index out of bounds (" + std::to_string(index) + ")");
}

} // namespace

void TThreadSafeStringList::Add(const std::string& text)
{
    std::lock_guard guard(lock_);
    list_.push_back(text);
}

void TThreadSafeStringList::Delete(int index)
{
    std::lock_guard guard(lock_);
    if (index < 0 || index >= static_cast<int>(list_.size()))
        IndexError(index);
    list_.erase(list_.begin() + index);
}

std::string TThreadSafeStringList::Get(int index)
{
    std::lock_guard guard(lock_);
    if (index < 0 || index >= static_cast<int>(list_.size()))
        IndexError(index);
    return list_[static_cast<std::size_t>(index)];
}

int TThreadSafeStringList::Count()
{
    std::lock_guard guard(lock_);
    return static_cast<int>(list_.size());
}

TThreadSafeStringList::TStringList& TThreadSafeStringList::LockList()
{
    lock_.lock();
    return list_;
}

void TThreadSafeStringList::UnlockList()
{
    lock_.unlock();
}

} // namespace kivra
