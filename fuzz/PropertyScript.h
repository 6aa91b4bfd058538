// Input format of the plug-in property target, shared with the seed writer: a sequence of
// property calls, each a fixed little-endian record followed by its qualifier bytes.
#ifndef CORVESSA_FUZZ_PROPERTY_SCRIPT_H
#define CORVESSA_FUZZ_PROPERTY_SCRIPT_H

#include <cstdint>
#include <vector>

#include "FuzzSupport.h"

namespace corvessa::fuzz {

/// Which driver-table entry a call goes to.
enum class PropertyCall : std::uint8_t { has, isSettable, dataSize, getData, setData, count };

/// Call variations, as bits of PropertyOp::flags.
enum PropertyFlags : std::uint8_t {
    kNullAddress = 1,     ///< no property address
    kForeignDriver = 2,   ///< a driver reference that is not the plug-in's
    kNullOutputs = 4,     ///< null size and data pointers
    kStringQualifier = 8  ///< the qualifier is a string reference made from the qualifier bytes
};

struct PropertyOp {
    PropertyCall call = PropertyCall::has;
    std::uint8_t flags = 0;
    std::uint32_t object = 0;
    std::uint32_t selector = 0;
    std::uint32_t scope = 0;
    std::uint32_t element = 0;
    std::vector<std::uint8_t> qualifier;  ///< at most 255 bytes
    std::uint16_t dataSize = 0;           ///< bytes of the output buffer

    static PropertyOp read(InputReader& in) {
        PropertyOp op;
        op.call = static_cast<PropertyCall>(in.take<std::uint8_t>() %
                                            static_cast<std::uint8_t>(PropertyCall::count));
        op.flags = in.take<std::uint8_t>();
        op.object = in.take<std::uint32_t>();
        op.selector = in.take<std::uint32_t>();
        op.scope = in.take<std::uint32_t>();
        op.element = in.take<std::uint32_t>();
        const auto qualifier = in.takeBytes(in.take<std::uint8_t>());
        op.qualifier.assign(qualifier.begin(), qualifier.end());
        op.dataSize = in.take<std::uint16_t>();
        return op;
    }

    void append(std::vector<std::uint8_t>& out) const {
        const auto put = [&out](const auto value) {
            const auto* bytes = reinterpret_cast<const std::uint8_t*>(&value);
            out.insert(out.end(), bytes, bytes + sizeof value);
        };
        put(static_cast<std::uint8_t>(call));
        put(flags);
        put(object);
        put(selector);
        put(scope);
        put(element);
        put(static_cast<std::uint8_t>(qualifier.size()));
        out.insert(out.end(), qualifier.begin(), qualifier.end());
        put(dataSize);
    }
};

}  // namespace corvessa::fuzz

#endif
