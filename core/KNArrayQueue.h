#pragma once
// Double-ended queue operations on a sequence container (std::deque, std::vector): the front is
// index 0, the back the last index. Reading or popping an empty container is a caller's bug: it
// stops the process with a message, as an out-of-range index does, instead of undefined behaviour.
#include <utility>

[[noreturn]] void kn_emptyArrayAccess(const char* operation);

template <class Array, class Value>
void kn_pushBack(Array& array, Value&& value) {
    array.push_back(std::forward<Value>(value));
}

template <class Array, class Value>
void kn_pushFront(Array& array, Value&& value) {
    array.insert(array.begin(), std::forward<Value>(value));
}

template <class Array>
typename Array::value_type kn_back(const Array& array) {
    if (array.empty()) kn_emptyArrayAccess("kn_back");
    return array.back();
}

template <class Array>
typename Array::value_type kn_front(const Array& array) {
    if (array.empty()) kn_emptyArrayAccess("kn_front");
    return array.front();
}

template <class Array>
typename Array::value_type kn_popBack(Array& array) {
    if (array.empty()) kn_emptyArrayAccess("kn_popBack");
    typename Array::value_type value = std::move(array.back());
    array.pop_back();
    return value;
}

template <class Array>
typename Array::value_type kn_popFront(Array& array) {
    if (array.empty()) kn_emptyArrayAccess("kn_popFront");
    typename Array::value_type value = std::move(array.front());
    array.erase(array.begin());
    return value;
}
