// A growable array of plain values in one block of memory, grown with realloc. For large
// blocks realloc moves pages instead of copying bytes (Linux remaps them), so an array that
// grows while a patch is read or built costs little more memory than what it holds.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <type_traits>

template <typename T> class GrowableArray {
    static_assert(std::is_trivially_copyable<T>::value, "values are moved as bytes");

  public:
    GrowableArray() = default;
    GrowableArray(const GrowableArray&) = delete;
    GrowableArray& operator=(const GrowableArray&) = delete;
    GrowableArray(GrowableArray&& other) noexcept { swap(other); }
    GrowableArray& operator=(GrowableArray&& other) noexcept {
        swap(other);
        return *this;
    }
    ~GrowableArray() { std::free(data_); }

    T* data() { return data_; }
    const T* data() const { return data_; }
    std::size_t size() const { return size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }
    const T& back() const { return data_[size_ - 1]; }

    // Adds `count` values left as they come (to be filled by the caller) and returns the first.
    T* extend(std::size_t count) {
        if (count > capacity_ - size_)
            grow(count);
        T* first = data_ + size_;
        size_ += count;
        return first;
    }
    void push_back(const T& value) { *extend(1) = value; }
    void shrink(std::size_t size) {
        if (size < size_)
            size_ = size;
    }
    void swap(GrowableArray& other) noexcept {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

  private:
    void grow(std::size_t count) {
        const std::size_t largest = static_cast<std::size_t>(-1) / sizeof(T);
        if (count > largest - size_)
            outOfMemory();
        std::size_t wanted = size_ + count;
        // Doubling, or exactly what is wanted when more than that is asked for (or fits).
        std::size_t capacity = capacity_ <= largest / 2 ? capacity_ * 2 : wanted;
        if (capacity < wanted)
            capacity = wanted;
        if (capacity < 64)
            capacity = 64;
        void* grown = std::realloc(data_, capacity * sizeof(T));
        if (grown == nullptr)
            outOfMemory();
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
    }

    // Like a failed allocation anywhere else in the program: the run ends at once.
    [[noreturn]] static void outOfMemory() { std::abort(); }

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};
