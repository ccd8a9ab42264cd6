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
    Ref head = Ref::steal(mp->mp_subscript(digest, process.slice_first8));
    if (!head) return nullptr;
    Ref text = call_method(head.get(), process.str.hex);
    if (!text || expect_str_or_none(text.get()) < 0) return nullptr;
    return text.release();
}

// The lines of _compute_simulation_id's statements.
enum class IdLine : int {
    def = 46,
    identity_data = 71,    // identity_data = {...}
    hyperparameters = 75,  // hyperparameters.model_dump()
    identity_str = 79,     // json.dumps(identity_data, sort_keys=True)
    hash_bytes = 80,       // hashlib.sha256(identity_str.encode()).digest()
    simulation_id = 81,    // return hash_bytes[:8].hex()
};

// str.encode() with no arguments is strict UTF-8; only a subclass could mean
// anything else.
Ref encode(PyObject* text)
{
    return PyUnicode_CheckExact(text) ? Ref::steal(PyUnicode_AsUTF8String(text))
                                      : call_method(text, process.str.encode);
}

PyObject* compute_simulation_id_body(const FuncDesc& f, const Bound& a)
{
    using Arg = IdentityArg;
    // 1, 2. The identity fields under their parameters' names, in this order.
    Ref identity_data = Ref::steal(PyDict_New());
    if (!identity_data) return body_error(f, IdLine::identity_data);
    PyObject* d = identity_data.get();
    for (int i = Arg::component_name; i < Arg::hyperparameters; ++i) {
        if (PyDict_SetItem(d, f.pnames[i], a.v[i]) < 0) return body_error(f, IdLine::identity_data);
    }
    Ref dump = call_method(a.v[Arg::hyperparameters], process.str.model_dump);
    if (!dump) return body_error(f, IdLine::hyperparameters);
    if (PyDict_SetItem(d, f.pnames[Arg::hyperparameters], dump.get()) < 0 ||
        PyDict_SetItem(d, f.pnames[Arg::simulation_type], a.v[Arg::simulation_type]) < 0)
        return body_error(f, IdLine::identity_data);
    dump.reset();

    // 3. The canonical text.
    Ref dumps = global_attr(process.str.json, process.str.dumps);
    if (!dumps) return body_error(f, IdLine::identity_str);
    Ref identity_str = call(dumps.get(), {d, Py_True}, process.kw.kw_sort_keys);
    if (!identity_str) return body_error(f, IdLine::identity_str);
    identity_data.reset();

    // 4. The digest.
    Ref sha256 = global_attr(process.str.hashlib, process.str.sha256);
    if (!sha256) return body_error(f, IdLine::hash_bytes);
    Ref encoded = encode(identity_str.get());
    if (!encoded) return body_error(f, IdLine::hash_bytes);
    Ref hasher = call(sha256.get(), {encoded.get()});
    if (!hasher) return body_error(f, IdLine::hash_bytes);
    Ref hash_bytes = call_method(hasher.get(), process.str.digest);
    if (!hash_bytes) return body_error(f, IdLine::hash_bytes);

    // 5. hash_bytes[:8].hex()
    PyObject* id =
        PyBytes_CheckExact(hash_bytes.get()) ? hex_head(hash_bytes.get()) : hex_head_generic(hash_bytes.get());
    return id ? id : body_error(f, IdLine::simulation_id);
}

}  // namespace

constexpr Params kIdParams =
    params(kIdentityParams, {{"simulation_type", Check::Str, Default::Required, "str", "Type of simulation."}});
static_assert(kIdParams.count == IdentityArg::count);

FuncDesc compute_simulation_id_desc = {
    .name = "_compute_simulation_id",
    .line = line_of(IdLine::def),
    .params = kIdParams,
    .locals = {"identity_data", "identity_str", "hash_bytes"},
    .return_annotation = "str",
    .doc = "Compute a deterministic hash-based ID for a simulation.\n"
           "\n"
           "The ID is computed from the identity fields only, ensuring that\n"
           "the same inputs always produce the same ID.",
    .returns = "16-character hex string from SHA-256 hash.",
    .body = compute_simulation_id_body,
};

}  // namespace lumora
