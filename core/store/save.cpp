// Saving a result and writing its file.
#include <algorithm>
#include <cstdint>
#include <exception>
#include <random>
#include <string>

#include "common.hpp"

namespace lumora {

namespace {

// Sixteen lower-case hexadecimal digits from the system's random source, fresh
// per call (no generator state that a fork could duplicate).
Ref random_suffix()
{
    static constexpr char kDigits[] = "0123456789abcdef";
    uint64_t bits = 0;
    try {
        static std::random_device source;
        bits = (static_cast<uint64_t>(source()) << 32) ^ source();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_OSError, "no random source for a temporary file name: %s", e.what());
        return Ref();
    }
    char text[16];
    for (int i = 15; i >= 0; --i, bits >>= 4) text[i] = kDigits[bits & 0xF];
    return Ref::steal(PyUnicode_FromStringAndSize(text, 16));
}

// Removes a temporary file after a failed write or move; the failure that got
// us here is what the caller sees, whatever the removal does.
void discard_temporary(PyObject* tmp_path)
{
    PyObject* failure = PyErr_GetRaisedException();
    if (!call_method(tmp_path, process.str.unlink)) PyErr_Clear();
    PyErr_SetRaisedException(failure);
}

// The longest file name that common file systems accept, in bytes of the
// file-system encoding (ext4, XFS, APFS; NTFS counts 255 UTF-16 units, which
// never exceed the UTF-8 bytes).
constexpr Py_ssize_t kMaxNameBytes = 255;
// What a temporary name adds to its stem besides the host: "." before,
// "." + host + "-" + 16 digits + ".tmp" after.
constexpr Py_ssize_t kTemporaryExtra = 1 + 1 + 1 + 16 + 4;
// The longest host part of a temporary name: a DNS label's limit, which
// leaves a stem of at least 169 bytes.
constexpr std::size_t kMaxHostBytes = 63;

bool host_character(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
           c == '.';
}

// socket.gethostname() as a part of a file name: the characters of a DNS
// name only (no separator can slip in), at most kMaxHostBytes. Machines that
// share a directory (NFS) then never pick the same temporary name, even with
// random sources that were cloned along with their disk image.
Ref host_part()
{
    Ref socket = Ref::steal(PyImport_Import(process.str.socket));
    if (!socket) return socket;
    Ref host = call_method(socket.get(), process.str.gethostname);
    if (!host) return host;
    if (!PyUnicode_Check(host.get())) {
        PyErr_Format(PyExc_TypeError, "host name must be str, not %.200s", Py_TYPE(host.get())->tp_name);
        return Ref();
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(host.get(), &size);
    if (!text) return Ref();
    std::string kept;
    for (Py_ssize_t i = 0; i < size && kept.size() < kMaxHostBytes; ++i) {
        if (host_character(text[i])) kept += text[i];
    }
    if (kept.empty()) kept = "host";
    return Ref::steal(PyUnicode_FromStringAndSize(kept.data(), static_cast<Py_ssize_t>(kept.size())));
}

// Bytes of text in the file-system encoding; -1 with the exception set when
// the text cannot be encoded (then no file of that name can exist either).
Py_ssize_t encoded_size(PyObject* text)
{
    Ref bytes = Ref::steal(PyUnicode_EncodeFSDefault(text));
    return bytes ? PyBytes_GET_SIZE(bytes.get()) : -1;
}

// The result's file name, or its longest prefix (whole characters) that
// leaves room for the rest of a temporary name (host_bytes of host in it)
// within kMaxNameBytes: every name the file system accepts for a result must
// also save.
Ref temporary_stem(PyObject* name, Py_ssize_t host_bytes)
{
    const Py_ssize_t budget = kMaxNameBytes - kTemporaryExtra - host_bytes;
    const Py_ssize_t whole = encoded_size(name);
    if (whole < 0) return Ref();
    if (whole <= budget) return Ref::borrow(name);
    // Bisect on the prefix length; a character takes at least one byte, so
    // no prefix longer than the budget fits.
    Py_ssize_t fits = 0;
    Py_ssize_t too_long = std::min(PyUnicode_GET_LENGTH(name), budget + 1);
    while (too_long - fits > 1) {
        const Py_ssize_t mid = fits + (too_long - fits) / 2;
        Ref prefix = Ref::steal(PyUnicode_Substring(name, 0, mid));
        const Py_ssize_t size = prefix ? encoded_size(prefix.get()) : -1;
        if (size < 0) return Ref();
        (size <= budget ? fits : too_long) = mid;
    }
    return Ref::steal(PyUnicode_Substring(name, 0, fits));
}

// Writes content beside file_path and moves it into place, so that readers
// (and a crash) see the old file or the new one, never half of one. The
// temporary name is "." + the result's name (or its prefix) + "." + host +
// "-" + 16 hexadecimal digits + ".tmp": no "*.json" scan meets it, and
// tidying recognises a stray one by that shape. -1 on failure.
int write_atomically(PyObject* file_path, PyObject* content)
{
    Ref tmp_path;
    {
        Ref name = getattr(file_path, process.str.name);
        if (!name) return -1;
        if (!PyUnicode_Check(name.get())) {
            PyErr_Format(PyExc_TypeError, "path name must be str, not %.200s", Py_TYPE(name.get())->tp_name);
            return -1;
        }
        Ref host = host_part();
        if (!host) return -1;
        Ref stem = temporary_stem(name.get(), PyUnicode_GET_LENGTH(host.get()));  // ASCII: a byte a character
        if (!stem) return -1;
        Ref suffix = random_suffix();
        if (!suffix) return -1;
        Ref tmp_name = concat({process.str.dot, stem.get(), process.str.dot, host.get(), process.str.dash, suffix.get(),
                               process.str.tmp_suffix});
        if (!tmp_name) return -1;
        tmp_path = call_method(file_path, process.str.with_name, {tmp_name.get()});
        if (!tmp_path) return -1;
    }
    if (!call_method(tmp_path.get(), process.str.write_bytes, {content}) ||
        !call_method(tmp_path.get(), process.str.replace, {file_path})) {
        discard_temporary(tmp_path.get());
        return -1;
    }
    return 0;
}

// datetime.now(UTC).isoformat()
Ref utc_timestamp()
{
    Ref now = global_attr(process.str.datetime, process.str.now);
    if (!now) return now;
    Ref utc = lookup_global(process.str.UTC);
    if (!utc) return utc;
    Ref moment = call(now.get(), {utc.get()});
    return moment ? call_method(moment.get(), process.str.isoformat) : Ref();
}

// The lines of save_simulation_result's statements.
enum class SaveLine : int {
    def = 126,
    execution_time = 136,   // the conversion of execution_time_seconds to float
    finite = 159,           // the refusal of NaN and infinities
    simulation_id = 161,    // simulation_id = _compute_simulation_id(...)
    file_path = 171,        // file_path = _get_simulation_file_path(...)
    stored_result = 176,    // stored_result = StoredSimulationResult(...)
    pdk_name = 184,         // pdk_name=get_pdk_name(),
    simulation_date = 186,  // simulation_date=datetime.now(UTC).isoformat(),
    lumora_version = 187,   // lumora_version=str(__version__),
    seconds = 190,          // execution_time_seconds=execution_time_seconds,
    write = 196,            // file_path.write_bytes(
    content = 197,          // orjson.dumps(
    model_dump = 198,       // stored_result.model_dump(),
    indent = 199,           // option=orjson.OPT_INDENT_2,
    saved = 203,            // log().debug(f"Saved simulation result: {file_path}")
};

struct SaveArg : IdentityArg {
    enum : int {
        result = IdentityArg::count,
        wavelengths,
        execution_time_seconds,
        status,
        error_message,
        pdk_version,
        count,
    };
};

// The record of the call, with the ID, the design kit, the date and the
// version added; empty with f's entry added on failure.
Ref make_record(const FuncDesc& f, const Bound& a, PyObject* simulation_id)
{
    using Arg = SaveArg;
    Ref model = lookup_global(process.str.StoredSimulationResult);
    if (!model) return body_error(f, SaveLine::stored_result);
    Ref pdk_name = call_global(process.str.get_pdk_name);
    if (!pdk_name) return body_error(f, SaveLine::pdk_name);
    Ref simulation_date = utc_timestamp();
    if (!simulation_date) return body_error(f, SaveLine::simulation_date);
    Ref version = lookup_global(process.str.dunder_version);
    Ref lumora_version = version ? Ref::steal(PyObject_Str(version.get())) : Ref();
    if (!lumora_version) return body_error(f, SaveLine::lumora_version);
    Ref seconds = Ref::steal(PyFloat_FromDouble(a.number));
    if (!seconds) return body_error(f, SaveLine::seconds);

    Ref record =
        call(model.get(),
             {a.v[Arg::component_name], a.v[Arg::factory_name], a.v[Arg::component_settings],
              a.v[Arg::model_parameters], a.v[Arg::hyperparameters], a.v[Arg::simulation_type], simulation_id,
              pdk_name.get(), a.v[Arg::pdk_version], simulation_date.get(), lumora_version.get(), a.v[Arg::result],
              a.v[Arg::wavelengths], seconds.get(), a.v[Arg::status], a.v[Arg::error_message]},
             process.kw.kw_record);
    if (!record) return body_error(f, SaveLine::stored_result);
    return record;
}

// orjson.dumps(stored_result.model_dump(), option=orjson.OPT_INDENT_2);
// empty with f's entry added on failure.
Ref file_content(const FuncDesc& f, PyObject* stored_result)
{
    Ref dumps = global_attr(process.str.orjson, process.str.dumps);
    if (!dumps) return body_error(f, SaveLine::content);
    Ref dumped = call_method(stored_result, process.str.model_dump);
    if (!dumped) return body_error(f, SaveLine::model_dump);
    Ref indent = global_attr(process.str.orjson, process.str.OPT_INDENT_2);
    if (!indent) return body_error(f, SaveLine::indent);
    Ref content = call(dumps.get(), {dumped.get(), indent.get()}, process.kw.kw_option);
    if (!content) return body_error(f, SaveLine::content);
    return content;
}

PyObject* save_simulation_result_body(const FuncDesc& f, const Bound& a)
{
    using Arg = SaveArg;
    // Refused before anything is made, so a refusal leaves no trace on disk.
    static constexpr int kChecked[] = {Arg::component_settings, Arg::model_parameters, Arg::result};
    for (int field : kChecked) {
        if (check_finite(f.pnames[field], a.v[field]) < 0) return body_error(f, SaveLine::finite);
    }

    Ref simulation_id =
        call_global(process.str._compute_simulation_id, a.first(IdentityArg::count), process.kw.kw_identity);
    if (!simulation_id) return body_error(f, SaveLine::simulation_id);

    // The path; its directory exists afterwards.
    Ref file_path = call_global(process.str._get_simulation_file_path,
                                {a.v[Arg::simulation_type], a.v[Arg::component_name], simulation_id.get()});
    if (!file_path) return body_error(f, SaveLine::file_path);

    Ref stored_result = make_record(f, a, simulation_id.get());
    if (!stored_result) return nullptr;
    Ref content = file_content(f, stored_result.get());
    if (!content) return nullptr;
    if (write_atomically(file_path.get(), content.get()) < 0) return body_error(f, SaveLine::write);
    content.reset();

    if (log_message(process.str.debug, [&] { return join_text(process.str.msg_saved, file_path.get()); }) < 0)
        return body_error(f, SaveLine::saved);
    return stored_result.release();
}

}  // namespace

constexpr Params kSaveParams =
    params(kIdentityParams, kSimulationTypeParam,
           {
               {"result", Check::Any, Default::Required, "SerializedSimulationResult", "Serialized simulation result."},
               {"wavelengths", Check::List, Default::Required, "list[float]", "List of wavelengths used."},
               {"execution_time_seconds", Check::Double, Default::Required, "float", "Execution time in seconds."},
               {"status", Check::Any, Default::Success, "SimulationStatus",
                "Status of the simulation (\"success\" or \"error\")."},
               {"error_message", Check::Str, Default::EmptyStr, "str", "Error message if status is \"error\"."},
               {"pdk_version", Check::Str, Default::EmptyStr, "str", "Version of the PDK used."},
           });
static_assert(kSaveParams.count == SaveArg::count);

FuncDesc save_simulation_result_desc = {
    .name = "save_simulation_result",
    .line = line_of(SaveLine::def),
    .conv_line = line_of(SaveLine::execution_time),
    .kwonly = true,
    .params = kSaveParams,
    .locals = {"simulation_id", "file_path", "stored_result"},
    .return_annotation = "StoredSimulationResult",
    .doc = "Save a simulation result to file.",
    .returns = "The stored simulation result with computed ID.",
    .body = save_simulation_result_body,
};

}  // namespace lumora
