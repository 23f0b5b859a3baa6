#pragma once
// A small bit set over the values of an enumeration whose enumerators are
// single bits.
namespace tavir::utils {

template <class E> class KFlags {
public:
    KFlags() = default;
    KFlags(E flag)
        : bits_(static_cast<unsigned int>(flag))
    {
    }
    explicit KFlags(unsigned int bits)
        : bits_(bits)
    {
    }

    bool test(E flag) const { return (bits_ & static_cast<unsigned int>(flag)) != 0; }
    KFlags& set(E flag)
    {
        bits_ |= static_cast<unsigned int>(flag);
        return *this;
    }
    KFlags& clear(E flag)
    {
        bits_ &= ~static_cast<unsigned int>(flag);
        return *this;
    }
    unsigned int value() const { return bits_; }

    KFlags operator|(KFlags other) const { return KFlags(bits_ | other.bits_); }
    KFlags operator|(E flag) const { return KFlags(bits_ | static_cast<unsigned int>(flag)); }
    bool operator==(KFlags other) const { return bits_ == other.bits_; }
    bool operator!=(KFlags other) const { return bits_ != other.bits_; }

private:
    unsigned int bits_ = 0;
};

} // namespace tavir::utils
