#pragma once
// An ordered list of byte texts behind a lock: the communication layer's message queue.

#include <mutex>
#include <string>
#include <vector>

namespace kivra {

class TThreadSafeStringList {
public:
    using TStringList = std::vector<std::string>;

    TThreadSafeStringList() = default;
    TThreadSafeStringList(const TThreadSafeStringList&) = delete;
    TThreadSafeStringList& operator=(const TThreadSafeStringList&) = delete;

    void Add(const std::string& text);
    //! Removes the item at index; raises kivra::Exception (list index error) when out of range.
    void Delete(int index);
    //! Copy of the item at index; raises kivra::Exception (list index error) when out of range.
    std::string Get(int index);
    int Count();

    //! Takes the lock and hands out the inner list; the caller must call UnlockList.
    TStringList& LockList();
    void UnlockList();

private:
    std::recursive_mutex lock_;
    TStringList list_;
};

} // namespace kivra
