// An owning array for the search's working memory that never throws: an
// allocation either gives the whole array or leaves the buffer empty, and the
// caller takes the empty buffer as "no memory" (every such block only speeds
// the search up, or the caller reports the failure). Blocks are aligned to 64
// bytes, the width of the widest vector the kernels load, and are released
// when the buffer goes: nothing is freed by hand.
//
// Only for element types that need no constructor or destructor: the elements
// are left as the allocator gives them, and fill() sets them.
#ifndef QUORV_MODEL_SEARCH_BUFFER_H
#define QUORV_MODEL_SEARCH_BUFFER_H

#include <cstddef>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>

template <typename T>
class Buffer {
    static_assert(std::is_trivially_copyable<T>::value && std::is_trivially_destructible<T>::value,
                  "Buffer holds plain values only");

public:
    static constexpr std::size_t kAlign = 64;

    Buffer() = default;
    ~Buffer() { release(); }
    Buffer(Buffer &&other) noexcept : data_(other.data_), size_(other.size_), capacity_(other.capacity_)
    {
        other.data_ = nullptr;
        other.size_ = 0;
        other.capacity_ = 0;
    }
    Buffer &operator=(Buffer &&other) noexcept
    {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;

    // Replaces the contents by `count` uninitialised elements (at least one
    // is allocated, so that an empty request still succeeds); false, with the
    // buffer left empty, when the memory is not there.
    bool allocate(std::size_t count)
    {
        release();
        if (count > std::numeric_limits<std::size_t>::max() / sizeof(T))
            return false;
        void *p = ::operator new[]((count > 0 ? count : 1) * sizeof(T), std::align_val_t(kAlign), std::nothrow);
        if (!p)
            return false;
        data_ = static_cast<T *>(p);
        size_ = count;
        capacity_ = count;
        return true;
    }
    // `count` elements, in the block already held when it has room for them
    // (their values are then those left there), else in a new one with room
    // for half as many more, so that a count that keeps growing a little
    // finds room most times: fresh memory costs a page fault per page. False,
    // with the buffer left empty, when the memory is not there.
    bool fit(std::size_t count)
    {
        if (data_ && count <= capacity_) {
            size_ = count;
            return true;
        }
        const bool roomy = count <= std::numeric_limits<std::size_t>::max() / sizeof(T) / 3;
        if (!allocate(roomy ? count + count / 2 : count))
            return false;
        size_ = count;
        return true;
    }
    void release()
    {
        if (data_)
            ::operator delete[](data_, std::align_val_t(kAlign));
        data_ = nullptr;
        size_ = 0;
        capacity_ = 0;
    }
    void fill(const T &value)
    {
        for (std::size_t i = 0; i < size_; ++i)
            data_[i] = value;
    }
    void swap(Buffer &other) noexcept
    {
        std::swap(data_, other.data_);
        std::swap(size_, other.size_);
        std::swap(capacity_, other.capacity_);
    }

    explicit operator bool() const { return data_ != nullptr; }
    T *get() const { return data_; }
    std::size_t size() const { return size_; }
    T &operator[](std::size_t i) const { return data_[i]; }

private:
    T *data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

#endif
