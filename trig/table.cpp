// The method and lane tables, made from the function records.
#include <array>
#include <utility>

#include "runtime/lane.h"
#include "trig/functions.h"

namespace trigmod {

namespace {

// The record at `Position`, as the call wrappers take it.
template <int Position>
struct Function {
    static constexpr const nrt::Signature& signature = kRecords[Position].signature;
    static constexpr nrt::Body body = kRecords[Position].body;
};

template <int Position>
PyMethodDef method() noexcept {
    auto wrapper = nrt::call_wrapper<Function<Position>>;
    return {kRecords[Position].signature.name,
            reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(wrapper)),
            METH_FASTCALL | METH_KEYWORDS, kRecords[Position].doc};
}

template <int... Positions>
constexpr std::array<nrt::LaneEntry, sizeof...(Positions)> lanes_of(std::integer_sequence<int, Positions...>) {
    return {{{&kRecords[Positions].signature, nrt::lane_entry<Function<Positions>>, kRecords[Positions].kernel}...}};
}

template <int... Positions>
void fill_methods(PyMethodDef* methods, std::integer_sequence<int, Positions...>) noexcept {
    ((methods[Positions] = method<Positions>()), ...);
}

constexpr auto kPositions = std::make_integer_sequence<int, kFunctionCount>();
constexpr auto kLanes = lanes_of(kPositions);

}  // namespace

PyMethodDef kMethods[kFunctionCount];

void install_lanes() noexcept {
    fill_methods(kMethods, kPositions);
    nrt::lanes = {kMethods, kMethods + kFunctionCount, kLanes.data()};
}

}  // namespace trigmod
