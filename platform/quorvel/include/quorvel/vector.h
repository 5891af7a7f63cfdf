#pragma once
// Vector<T>: the ordered list type of the class library (count and indexed access).

#include <cstddef>
#include <utility>
#include <vector>

namespace quorvel {

template <typename T>
class Vector {
public:
    size_t size() const { return mItems.size(); }
    bool isEmpty() const { return mItems.empty(); }
    const T& operator[](size_t index) const { return mItems[index]; }
    const T& itemAt(size_t index) const { return mItems[index]; }
    void add(const T& item) { mItems.push_back(item); }
    void add(T&& item) { mItems.push_back(std::move(item)); }
    void clear() { mItems.clear(); }
    auto begin() const { return mItems.begin(); }
    auto end() const { return mItems.end(); }

private:
    std::vector<T> mItems;
};

} // namespace quorvel
