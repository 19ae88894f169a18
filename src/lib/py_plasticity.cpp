// The Instance's learning switch, plasticity_enabled: read from the C++
// Instance, written through it to every partition between two ticks
// (instance/instance.hpp says what the switch stops). Python thread only.
#include "lib/py_classes.hpp"
#include "lib/py_instance.hpp"

namespace synaptor {

namespace {

PyObject* get_plasticity_enabled(PyObject* self, void*) {
    InstanceObject* obj = as_instance(self);
    Borrow borrow(obj->borrow, Borrow::Mode::Shared);
    if (!borrow.held() || open_instance(obj) == nullptr) return nullptr;
    return PyBool_FromLong(obj->instance->plasticity_enabled() ? 1 : 0);
}

int set_plasticity_enabled(PyObject* self, PyObject* value, void*) {
    if (value == nullptr) return refuse_delete();
    // Only True and False: a truthy number or string here is more likely a
    // mistake than a wish, and learning switched by one would go unnoticed.
    if (!PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "plasticity_enabled must be True or False, not '%s'",
                     Py_TYPE(value)->tp_name);
        return -1;
    }
    const bool enabled = value == Py_True;
    return guarded<int>(module_of(self), -1, [&]() -> int {
        InstanceObject* obj = as_instance(self);
        Borrow borrow(obj->borrow, Borrow::Mode::Exclusive);
        if (!borrow.held() || open_instance(obj) == nullptr) return -1;
        // A panic (a failed instance) leaves the switch as it was.
        obj->instance->set_plasticity_enabled(enabled);
        return 0;
    });
}

}  // namespace

namespace instance_class {

PyGetSetDef plasticity_enabled(bool spread) {
    // Each process switches its own partitions without communicating; the
    // next tick's exchange compares the switch.
    return {"plasticity_enabled", get_plasticity_enabled, set_plasticity_enabled,
            spread
                ? "Whether learning changes weights (bool, True at creation). Every rank\n"
                  "must set it alike: each switches its own partitions, and the next tick\n"
                  "raises PanicException on every rank when the ranks differ.\n"
                  "False from the next tick on: no long-term STDP change and no eligibility\n"
                  "trace, and dopamine flushes spend their samples without changing a weight.\n"
                  "Short-term plasticity and short-term STDP go on."
                : "Whether learning changes weights (bool, True at creation; kept by save_state).\n"
                  "False from the next tick on: no long-term STDP change and no eligibility\n"
                  "trace, and dopamine flushes spend their samples without changing a weight.\n"
                  "Short-term plasticity and short-term STDP go on.",
            nullptr};
}

}  // namespace instance_class

}  // namespace synaptor
