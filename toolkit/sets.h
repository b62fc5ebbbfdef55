#pragma once
// TSet: a set of a small enumeration, element n in bit n, stored in one byte when
// the enumeration has at most eight values.

#include <cstdint>
#include <initializer_list>
#include <type_traits>

template <typename E, typename Bits = std::uint8_t> class TSet {
public:
    constexpr TSet() = default;
    constexpr TSet(std::initializer_list<E> elements) {
        for (E e : elements)
            fBits = static_cast<Bits>(fBits | Bit(e));
    }
    static constexpr TSet FromBits(Bits bits) {
        TSet s;
        s.fBits = bits;
        return s;
    }

    constexpr bool Contains(E e) const { return (fBits & Bit(e)) != 0; }
    constexpr bool Empty() const { return fBits == 0; }
    constexpr Bits ToBits() const { return fBits; }

    constexpr TSet& Include(E e) {
        fBits = static_cast<Bits>(fBits | Bit(e));
        return *this;
    }
    constexpr TSet& Exclude(E e) {
        fBits = static_cast<Bits>(fBits & ~Bit(e));
        return *this;
    }
    constexpr TSet operator+(E e) const { return TSet(*this).Include(e); }
    constexpr TSet operator-(E e) const { return TSet(*this).Exclude(e); }

    friend constexpr bool operator==(TSet, TSet) = default;

private:
    static constexpr Bits Bit(E e) {
        return static_cast<Bits>(Bits{1} << static_cast<std::underlying_type_t<E>>(e));
    }
    Bits fBits = 0;
};
