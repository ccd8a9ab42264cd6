// Simulation identity: the deterministic ID of a set of identity fields.
#include "common.hpp"

namespace lumora {

namespace {

// bytes.hex() of the first eight bytes, without the slice and the call: the
// digest of hashlib is exactly bytes, whose methods cannot be overridden.
PyObject* hex_head(PyObject* digest)
{
    static constexpr char kDigits[] = "0123456789abcdef";
    Py_ssize_t n = PyBytes_GET_SIZE(digest);
    if (n > 8) n = 8;
    PyObject* text = PyUnicode_New(2 * n, 127);
    if (!text) return nullptr;
    const auto* in = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(digest));
    Py_UCS1* out = PyUnicode_1BYTE_DATA(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        out[2 * i] = static_cast<Py_UCS1>(kDigits[in[i] >> 4]);
        out[2 * i + 1] = static_cast<Py_UCS1>(kDigits[in[i] & 0xF]);
    }
    return text;
}

// digest[:8].hex() for a digest of any other type.
PyObject* hex_head_generic(PyObject* digest)
{
    PyMappingMethods* mp = Py_TYPE(digest)->tp_as_mapping;
    if (!mp || !mp->mp_subscript) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object is unsliceable", Py_TYPE(digest)->tp_name);
        return nullptr;
    }
    Ref head = Ref::steal(mp->mp_subscript(digest, g.slice_first8));
    if (!head) return nullptr;
    Ref text = call_method(head.get(), g.str.hex);
    if (!text || !expect_str_or_none(text.get())) return nullptr;
    return text.release();
}

PyObject* compute_simulation_id_body(const FuncDesc& f, const Bound& a)
{
    // 1, 2. The identity fields, in this insertion order.
    Ref identity_data = Ref::steal(PyDict_New());
    if (!identity_data) return body_error(f, 71);
    PyObject* d = identity_data.get();
    if (PyDict_SetItem(d, g.str.component_name, a.v[0]) < 0 || PyDict_SetItem(d, g.str.factory_name, a.v[1]) < 0
        || PyDict_SetItem(d, g.str.component_settings, a.v[2]) < 0
        || PyDict_SetItem(d, g.str.model_parameters, a.v[3]) < 0)
        return body_error(f, 71);
    {
        Ref dump = call_method(a.v[4], g.str.model_dump);
        if (!dump) return body_error(f, 75);
        if (PyDict_SetItem(d, g.str.hyperparameters, dump.get()) < 0) return body_error(f, 71);
    }
    if (PyDict_SetItem(d, g.str.simulation_type, a.v[5]) < 0) return body_error(f, 71);

    // 3. The canonical text: json.dumps(identity_data, sort_keys=True).
    Ref identity_str;
    {
        Ref json = lookup_global(g.str.json);
        if (!json) return body_error(f, 79);
        Ref dumps = getattr(json.get(), g.str.dumps);
        if (!dumps) return body_error(f, 79);
        identity_str = call(dumps.get(), {d, Py_True}, g.kw.kw_sort_keys);
        if (!identity_str) return body_error(f, 79);
    }
    identity_data.reset();

    // 4. hashlib.sha256(identity_str.encode()).digest()
    Ref hash_bytes;
    {
        Ref hashlib = lookup_global(g.str.hashlib);
        if (!hashlib) return body_error(f, 80);
        Ref sha256 = getattr(hashlib.get(), g.str.sha256);
        if (!sha256) return body_error(f, 80);
        // str.encode() with no arguments is strict UTF-8; only a subclass
        // could mean anything else.
        Ref encoded = PyUnicode_CheckExact(identity_str.get())
                          ? Ref::steal(PyUnicode_AsUTF8String(identity_str.get()))
                          : call_method(identity_str.get(), g.str.encode);
        if (!encoded) return body_error(f, 80);
        Ref hasher = call(sha256.get(), {encoded.get()});
        if (!hasher) return body_error(f, 80);
        hash_bytes = call_method(hasher.get(), g.str.digest);
        if (!hash_bytes) return body_error(f, 80);
    }

    // 5. hash_bytes[:8].hex()
    PyObject* id = PyBytes_CheckExact(hash_bytes.get()) ? hex_head(hash_bytes.get())
                                                        : hex_head_generic(hash_bytes.get());
    return id ? id : body_error(f, 81);
}

}  // namespace

FuncDesc compute_simulation_id_desc = {
    .name = "_compute_simulation_id",
    .qualname = "_compute_simulation_id",
    .code_name = "_compute_simulation_id",
    .tb_name = "lumora.core.simulation_storage._compute_simulation_id",
    .line = 46,
    .conv_line = 0,
    .kwonly = false,
    .nparams = 6,
    .params = {
        {"component_name", Check::Str, Default::Required, "str"},
        {"factory_name", Check::Str, Default::Required, "str"},
        {"component_settings", Check::Dict, Default::Required, "dict[str, Any]"},
        {"model_parameters", Check::Dict, Default::Required, "dict[str, Any]"},
        {"hyperparameters", Check::Any, Default::Required, "SimulationHyperparameters"},
        {"simulation_type", Check::Str, Default::Required, "str"},
    },
    .locals = {"identity_data", "identity_str", "hash_bytes"},
    .return_annotation = "str",
    .doc = "_compute_simulation_id(str component_name: str, str factory_name: str, dict component_settings: dict[str, Any], dict model_parameters: dict[str, Any], hyperparameters: SimulationHyperparameters, str simulation_type: str) -> str\n\nCompute a deterministic hash-based ID for a simulation.\n\nThe ID is computed from the identity fields only, ensuring that\nthe same inputs always produce the same ID.\n\nArgs:\n    component_name: Name of the component.\n    factory_name: Name of the factory.\n    component_settings: Component settings dictionary.\n    model_parameters: Model parameters dictionary.\n    hyperparameters: Simulation hyperparameters.\n    simulation_type: Type of simulation.\n\nReturns:\n    16-character hex string from SHA-256 hash.",
    .body = compute_simulation_id_body,
};

}  // namespace lumora
