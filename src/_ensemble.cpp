// Random measurement errors and ensemble statistics.
#include "frame/frame.hpp"

namespace {

namespace py = pybind11;

}  // namespace

PYBIND11_MODULE(_ensemble, m) {
    m.doc() = "Random measurement errors and ensemble statistics";
}
