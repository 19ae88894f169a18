// The synapses of a network held whole by this process: the Python class
// Synapses (four arrays read through the buffer protocol, each a
// RecordedArray that keeps the arrays alive) and the Instance's synapses(),
// set_weights() and layers. The reading and writing themselves are
// instance/synapse_access. Python thread only.
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "lib/py_instance.hpp"
#include "lib/py_value_class.hpp"

namespace synaptor {

namespace {

using SharedSynapses = std::shared_ptr<SynapseTable>;

template <auto Member, char... Format>
PyObject* get_array(PyObject* self, void*) {
    static constexpr char kFormat[] = {Format..., '\0'};
    const SharedSynapses& synapses = value_of<SharedSynapses>(self);
    auto& values = (*synapses).*Member;
    return wrap_array(module_of(self), synapses, values.data(), kFormat,
                      static_cast<Py_ssize_t>(sizeof(values[0])), 1,
                      static_cast<Py_ssize_t>(values.size()), 0);
}

PyGetSetDef synapses_getset[] = {
    {"pre_syn_nids", get_array<&SynapseTable::pre_syn_nids, 'Q'>, nullptr,
     "Pre-synaptic neuron of each synapse (RecordedArray of u64).", nullptr},
    {"post_syn_nids", get_array<&SynapseTable::post_syn_nids, 'Q'>, nullptr,
     "Post-synaptic neuron of each synapse (RecordedArray of u64).", nullptr},
    {"conduction_delays", get_array<&SynapseTable::conduction_delays, 'B'>, nullptr,
     "Conduction delay of each synapse in ticks (RecordedArray of u8).", nullptr},
    {"weights", get_array<&SynapseTable::weights, 'f'>, nullptr,
     "Weight of each synapse (RecordedArray of f32).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* synapses_repr(PyObject* self) {
    return PyUnicode_FromFormat("<Synapses %zu>", value_of<SharedSynapses>(self)->weights.size());
}

ValueClass<SharedSynapses> synapses_class(
    ClassId::Synapses,
    "Synapses of an Instance as taken by Instance.synapses(): four parallel arrays "
    "that numpy.asarray reads without copying, in the order synapses() describes.",
    synapses_getset, &new_refused, &synapses_repr);

// ---- Numbers from a buffer or a sequence

enum class ItemKind { Signed, Unsigned, Float };

/// How to read one item of a buffer's struct format, for the formats of one
/// plain number in native or little-endian order; nothing for any other.
std::optional<ItemKind> item_kind(const char* format, Py_ssize_t itemsize) {
    if (format == nullptr) format = "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    if (format[0] == '\0' || format[1] != '\0') return std::nullopt;
    if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8) return std::nullopt;
    if (std::strchr("bhilqn", format[0]) != nullptr) return ItemKind::Signed;
    if (std::strchr("BHILQN", format[0]) != nullptr) return ItemKind::Unsigned;
    if ((format[0] == 'f' && itemsize == 4) || (format[0] == 'd' && itemsize == 8)) {
        return ItemKind::Float;
    }
    return std::nullopt;
}

/// One converted item: a double for a weight, an integer for an index (an
/// index beyond i64 becomes -1 with `overflow` set).
struct Item {
    double number = 0.0;
    std::int64_t index = 0;
    bool overflow = false;
};

Item read_item(const char* at, ItemKind kind, Py_ssize_t itemsize) {
    Item item;
    if (kind == ItemKind::Float) {
        if (itemsize == 4) {
            float f;
            std::memcpy(&f, at, sizeof f);
            item.number = static_cast<double>(f);
        } else {
            std::memcpy(&item.number, at, sizeof item.number);
        }
        return item;
    }
    std::uint64_t bits = 0;
    std::memcpy(&bits, at, static_cast<std::size_t>(itemsize));
    const unsigned shift = 64u - 8u * static_cast<unsigned>(itemsize);
    if (kind == ItemKind::Signed) {
        // Sign-extend the low itemsize bytes (little-endian).
        item.index = static_cast<std::int64_t>(bits << shift) >> shift;
        item.number = static_cast<double>(item.index);
    } else {
        item.overflow = bits > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
        item.index = item.overflow ? -1 : static_cast<std::int64_t>(bits);
        item.number = static_cast<double>(bits);
    }
    return item;
}

/// Reads a 1-D buffer of plain numbers, strided or not, into `out` through
/// `take` (`out` reserved once); false (nothing raised) when `obj` is no such
/// buffer. With
/// `integers_only`, a buffer of floats is not taken either.
template <class T, class Take>
bool read_buffer(PyObject* obj, bool integers_only, std::vector<T>& out, Take&& take) {
    if (!PyObject_CheckBuffer(obj)) return false;
    Py_buffer view;
    if (PyObject_GetBuffer(obj, &view, PyBUF_RECORDS_RO) != 0) {
        PyErr_Clear();
        return false;
    }
    struct Release {
        Py_buffer& view;
        ~Release() { PyBuffer_Release(&view); }
    } release{view};
    const std::optional<ItemKind> kind = item_kind(view.format, view.itemsize);
    if (view.ndim != 1 || !kind || (integers_only && *kind == ItemKind::Float)) return false;
    out.reserve(static_cast<std::size_t>(view.shape[0]));
    const char* at = static_cast<const char*>(view.buf);
    for (Py_ssize_t i = 0; i < view.shape[0]; ++i, at += view.strides[0]) {
        take(read_item(at, *kind, view.itemsize));
    }
    return true;
}

/// Reads any sequence through `convert` (a Python conversion of one item,
/// false with an exception set); false with an exception set.
template <class Convert>
bool read_sequence(PyObject* obj, Convert&& convert) {
    if (PyUnicode_Check(obj) || !PySequence_Check(obj)) {
        raise_cannot_convert(obj, "Sequence");
        return false;
    }
    PyRef items(PySequence_Fast(obj, "not a sequence"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.get()); ++i) {
        if (!convert(PySequence_Fast_GET_ITEM(items.get(), i), i)) return false;
    }
    return true;
}

/// A weight as stored: rounded to the nearest f32, beyond its range an
/// infinity (which no max_weight admits), NaN kept.
float to_weight(double value) {
    if (std::isnan(value)) return std::numeric_limits<float>::quiet_NaN();
    if (std::fabs(value) > static_cast<double>(std::numeric_limits<float>::max())) {
        return value > 0.0 ? std::numeric_limits<float>::infinity()
                           : -std::numeric_limits<float>::infinity();
    }
    return static_cast<float>(value);
}

bool convert_weights(PyObject* obj, std::vector<float>* out) {
    if (read_buffer(obj, false, *out,
                    [&](const Item& item) { out->push_back(to_weight(item.number)); })) {
        return true;
    }
    return read_sequence(obj, [&](PyObject* item, Py_ssize_t) {
        const double value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) return false;
        out->push_back(to_weight(value));
        return true;
    });
}

/// Indices as signed numbers, so that a negative one is named at its
/// position with the other faults; an index beyond i64 is refused at once.
bool convert_indices(PyObject* obj, std::vector<std::int64_t>* out) {
    const auto beyond = [](std::size_t i) {
        raise_value_error("indices[" + std::to_string(i) +
                          "] is beyond the range of a 64-bit integer");
        return false;
    };
    std::optional<std::size_t> first_overflow;
    if (read_buffer(obj, true, *out, [&](const Item& item) {
            if (item.overflow && !first_overflow) first_overflow = out->size();
            out->push_back(item.index);
        })) {
        return first_overflow ? beyond(*first_overflow) : true;
    }
    return read_sequence(obj, [&](PyObject* item, Py_ssize_t i) {
        PyRef index(PyNumber_Index(item));
        if (!index) return false;
        const long long value = PyLong_AsLongLong(index.get());
        if (value == -1 && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
            return beyond(static_cast<std::size_t>(i));
        }
        out->push_back(value);
        return true;
    });
}

/// A layer argument: None selects every layer. A negative id is out of range
/// (a large one is named by read_synapses).
bool convert_layer(PyObject* obj, const char* name, const Instance& instance,
                   std::optional<std::uint64_t>* out) {
    if (obj == nullptr || obj == Py_None) return true;
    PyRef index(PyNumber_Index(obj));
    if (!index) return fail_argument(name);
    const long long value = PyLong_AsLongLong(index.get());
    if (value == -1 && PyErr_Occurred()) return fail_argument(name);
    if (value < 0) {
        const std::size_t num_layers = instance.core().layer_sizes().size();
        raise_value_error(std::string(name) + " " + std::to_string(value) +
                          " is out of range: the network has " + std::to_string(num_layers) +
                          (num_layers == 1 ? " layer" : " layers"));
        return false;
    }
    *out = static_cast<std::uint64_t>(value);
    return true;
}

const char* const kSynapsesParams[] = {"from_layer", "to_layer"};
const Signature kSynapses{"Instance.synapses()", kSynapsesParams, 2, 0};
const char* const kSetWeightsParams[] = {"weights", "from_layer", "to_layer", "indices"};
const Signature kSetWeights{"Instance.set_weights()", kSetWeightsParams, 4, 1};

PyObject* instance_synapses(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) {
    return run_method<2>(
        self, kSynapses, args, nargsf, kwnames,
        [](PyObject* module, Instance& instance, PyObject** bound) -> PyObject* {
            SynapseFilter filter;
            if (!convert_layer(bound[0], "from_layer", instance, &filter.from_layer) ||
                !convert_layer(bound[1], "to_layer", instance, &filter.to_layer)) {
                return nullptr;
            }
            Result<SynapseTable> table = read_synapses(instance.core(), filter);
            if (!table) {
                raise_value_error(table.error());
                return nullptr;
            }
            return wrap_synapses(module, std::move(table).value());
        });
}

PyObject* instance_set_weights(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
    return run_method<4>(
        self, kSetWeights, args, nargsf, kwnames,
        [](PyObject*, Instance& instance, PyObject** bound) -> PyObject* {
            std::vector<float> weights;
            if (!convert_weights(bound[0], &weights)) return convert_failed("weights");
            SynapseFilter filter;
            if (!convert_layer(bound[1], "from_layer", instance, &filter.from_layer) ||
                !convert_layer(bound[2], "to_layer", instance, &filter.to_layer)) {
                return nullptr;
            }
            PyObject* indices_arg = bound[3] == Py_None ? nullptr : bound[3];
            Status status = ok_status();
            if (indices_arg != nullptr) {
                if (filter.from_layer || filter.to_layer) {
                    raise_value_error(
                        "indices select the synapses on their own: give either "
                        "indices or from_layer/to_layer");
                    return nullptr;
                }
                std::vector<std::int64_t> indices;
                if (!convert_indices(indices_arg, &indices)) return convert_failed("indices");
                status = write_weights_at(instance.core(), indices, weights);
            } else {
                status = write_weights(instance.core(), filter, weights);
            }
            if (!status) {
                raise_value_error(status.error());
                return nullptr;
            }
            Py_RETURN_NONE;
        });
}

PyObject* get_layers(PyObject* self, void*) {
    return guarded<PyObject*>(module_of(self), nullptr, [&]() -> PyObject* {
        InstanceObject* obj = as_instance(self);
        Borrow borrow(obj->borrow, Borrow::Mode::Shared);
        if (!borrow.held()) return nullptr;
        const std::vector<std::uint64_t>& sizes = obj->instance->core().layer_sizes();
        PyRef layers(PyTuple_New(static_cast<Py_ssize_t>(sizes.size())));
        if (!layers) return nullptr;
        std::uint64_t first_nid = 0;
        for (std::size_t l = 0; l < sizes.size(); ++l) {
            PyObject* layer = Py_BuildValue("(KK)", static_cast<unsigned long long>(first_nid),
                                            static_cast<unsigned long long>(sizes[l]));
            if (layer == nullptr) return nullptr;
            PyTuple_SET_ITEM(layers.get(), static_cast<Py_ssize_t>(l), layer);
            first_nid += sizes[l];
        }
        return layers.release();
    });
}

}  // namespace

PyType_Spec synapses_type_layout = synapses_class.type_layout();

PyObject* wrap_synapses(PyObject* module, SynapseTable synapses) {
    return synapses_class.wrap(module, std::make_shared<SynapseTable>(std::move(synapses)));
}

namespace instance_class {

PyMethodDef synapses() {
    return {"synapses", method_function(&instance_synapses), METH_FASTCALL | METH_KEYWORDS,
            "synapses(from_layer=None, to_layer=None)\n--\n\n"
            "The synapses between two ticks as a Synapses: pre_syn_nids, post_syn_nids\n"
            "(u64), conduction_delays (u8) and weights (f32), each an array that\n"
            "numpy.asarray reads without copying. All of them, or those of the\n"
            "connections from layer from_layer and/or onto layer to_layer.\n\n"
            "Order: by the layer the synapse projects onto (document order), then by\n"
            "ascending pre-synaptic nid, then by ascending post-synaptic nid; the same\n"
            "for any number of threads, and with one thread the order of a state\n"
            "snapshot. A filter keeps this order. A synapse's position in the\n"
            "unfiltered order is its synapse index, the same for the life of the\n"
            "network. ValueError for a layer id out of range."};
}

PyMethodDef set_weights() {
    return {"set_weights", method_function(&instance_set_weights), METH_FASTCALL | METH_KEYWORDS,
            "set_weights(weights, from_layer=None, to_layer=None, indices=None)\n--\n\n"
            "Writes weights (a buffer or sequence of numbers) to the synapses that\n"
            "synapses(from_layer, to_layer) lists, in its order and number; or, with\n"
            "indices (integers), weights[i] to the synapse of index indices[i], in\n"
            "order (a repeated index keeps its last weight). Each weight is rounded to\n"
            "the nearest f32 and then stored exactly. Everything is checked before\n"
            "anything is written: a wrong length, an index out of range, NaN, a\n"
            "negative weight or one above its connection's max_weight raise\n"
            "ValueError naming the first offending position, and nothing changes."};
}

PyGetSetDef layers() {
    return {"layers", get_layers, nullptr,
            "The layers in document order, each a (first_nid, num_neurons) tuple.", nullptr};
}

}  // namespace instance_class

}  // namespace synaptor
