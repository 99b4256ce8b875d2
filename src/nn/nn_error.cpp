#include "nn/nn_error.hpp"

#include "support/quoted.hpp"

namespace kelvara {

std::string NnError::display() const {
    switch (kind) {
        case Kind::io: return "reading weights: " + text;
        case Kind::bad_magic: return "not an eisnn weight file (bad magic bytes)";
        case Kind::truncated: return "weight file is truncated";
        case Kind::missing: return "weight file is missing " + quoted(text);
        case Kind::bad_value: return "weight file has an unparsable value for " + quoted(text);
        case Kind::estimator:
            return "weight file was normalised with the " + quoted(text) +
                   " scale estimator, which this build does not implement (supported: reactive_centroid)";
        case Kind::encoding:
            return "weight file uses tensor encoding " + std::to_string(actual) + ", which this build does not know";
        case Kind::shape:
            return "tensor " + quoted(text) + " has " + std::to_string(actual) + " elements, expected " +
                   std::to_string(expected);
        case Kind::too_few_points:
            return "need at least 2 frequency points to guess, got " + std::to_string(actual);
    }
    return {};
}

}  // namespace kelvara
