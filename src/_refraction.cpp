// Ray tracing of radar beams through a refractive-index profile.
#include "frame/frame.hpp"

namespace {

namespace py = pybind11;

}  // namespace

PYBIND11_MODULE(_refraction, m) {
    m.doc() = "Ray tracing in a spherically stratified atmosphere";
}
