// Wiping what held card data. Track texts, raw reply bytes and commands
// that carry track data must not outlive their use in our memory: a core
// dump, a debugger or a later bug that reads stale memory would find them.
// So every buffer of ours that held them is cleared with explicit_bzero
// (which the compiler may not drop as a dead store) once its content has
// been handed on.
#pragma once

#include <string.h>

#include <cstddef>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

namespace sdcustody {

inline void wipe(void *data, std::size_t size)
{
    if (data != nullptr && size > 0)
        explicit_bzero(data, size);
}

template <std::size_t N>
void wipe(char (&buffer)[N])
{
    explicit_bzero(buffer, N);
}

// The whole allocation (or the short-string room inside the object), not
// only the text: a text that shrank leaves its old tail behind.
inline void wipe(std::string &text)
{
    explicit_bzero(&text[0], text.capacity());
    text.clear();
}

// Every string value in a JSON document (nlohmann's json or ordered_json);
// the keys are ours and hold no card data.
template <class Json>
void wipeJson(Json &value)
{
    if (value.is_string()) {
        wipe(value.template get_ref<typename Json::string_t &>());
    } else if (value.is_structured()) {
        for (auto &item : value)
            wipeJson(item);
    }
}

// Wipes the strings it is given when the scope ends, however it ends.
template <class... Texts>
class WipeOnExit {
public:
    explicit WipeOnExit(Texts &...texts) : texts_(texts...) {}
    ~WipeOnExit()
    {
        std::apply([](auto &...texts) { (wipe(texts), ...); }, texts_);
    }
    WipeOnExit(const WipeOnExit &) = delete;
    WipeOnExit &operator=(const WipeOnExit &) = delete;

private:
    std::tuple<Texts &...> texts_;
};

// An allocator that wipes each block before it frees it: for the buffers of
// libraries that grow and free as they go (a Beast flat_buffer, a string
// that JSON is printed into), whose old blocks would keep the card.
template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U> &) noexcept
    {
    }
    T *allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T *block, std::size_t n) noexcept
    {
        wipe(block, n * sizeof(T));
        std::allocator<T>().deallocate(block, n);
    }
    template <class U>
    bool operator==(const WipingAllocator<U> &) const noexcept
    {
        return true;
    }
    template <class U>
    bool operator!=(const WipingAllocator<U> &) const noexcept
    {
        return false;
    }
};

// A string whose every block is wiped when it is freed (or outgrown).
using WipedString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

inline void wipe(WipedString &text)
{
    explicit_bzero(&text[0], text.capacity());
    text.clear();
}

// Clears the stack below the caller's frame: the frames of calls that have
// returned (a library's parser, a formatter) keep their locals there until
// something else overwrites them. Call it from a shallow frame once card
// data has been handed on.
void scrubStack();

} // namespace sdcustody
