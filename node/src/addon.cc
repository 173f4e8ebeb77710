// SPDX-License-Identifier: MIT
// The native side of the Node.js package: the C library's calls on Buffers,
// key objects with async calls on libuv's thread pool, and streams: the
// back end contract of lib/backend.d.ts. lib/api.js checks argument types
// and names ciphers; this file trusts neither and checks again what memory
// safety needs.
#include <napi.h>
#include <openssl/crypto.h>
#include <sealkit.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace {

// Per instance of the addon (the main thread and each worker thread load
// their own): SealkitError from lib/api.js (init()), and the stream class.
struct Instance {
    Napi::FunctionReference error, stream;
};

// A SealkitError for a library result code.
[[noreturn]] void throw_result(Napi::Env env, int rc) {
    Napi::FunctionReference &error = env.GetInstanceData<Instance>()->error;
    throw Napi::Error(env, error.New({Napi::Number::New(env, rc)}));
}

// A SealkitError for a Key or stream used after close(): no library call
// was made, so it carries no result but its own marker, which lib/api.js
// turns into ERR_SEALKIT_CLOSED.
[[noreturn]] void throw_closed(Napi::Env env, const char *message) {
    Napi::FunctionReference &error = env.GetInstanceData<Instance>()->error;
    throw Napi::Error(
        env, error.New({Napi::Number::New(env, SEALKIT_OK), Napi::String::New(env, message),
                        Napi::String::New(env, "closed")}));
}

void check(Napi::Env env, int rc) {
    if (rc != SEALKIT_OK) throw_result(env, rc);
}

// The bytes of a Buffer, TypedArray, DataView or ArrayBuffer, in place.
struct Bytes {
    uint8_t *data = nullptr;
    size_t size = 0;
};

// An empty one may have no memory; the library takes NULL as a missing
// argument, so it gets this byte's address instead (never read or written).
uint8_t g_empty = 0;

Bytes raw_bytes(const Napi::Value &v, const char *name);

Bytes bytes(const Napi::Value &v, const char *name) {
    Bytes b = raw_bytes(v, name);
    if (b.data == nullptr) b.data = &g_empty;
    return b;
}

Bytes raw_bytes(const Napi::Value &v, const char *name) {
    // One call for any TypedArray (a Buffer is one): the data pointer comes
    // with its offset applied. This is on every call's path.
    napi_typedarray_type type{};
    size_t length = 0;
    void *data = nullptr;
    if (v.IsTypedArray() &&
        napi_get_typedarray_info(v.Env(), v, &type, &length, &data, nullptr, nullptr) == napi_ok) {
        static const size_t kElement[] = {1, 1, 1, 2, 2, 4, 4, 4, 8, 8, 8};  // napi_typedarray_type
        const size_t element = static_cast<size_t>(type) < std::size(kElement) ? kElement[type] : 1;
        return {static_cast<uint8_t *>(data), length * element};
    }
    // The data pointer comes with the offset applied, whether the memory is
    // an ArrayBuffer's or a SharedArrayBuffer's (whose Napi::ArrayBuffer
    // view would fail).
    size_t dv_length = 0;
    if (v.IsDataView() &&
        napi_get_dataview_info(v.Env(), v, &dv_length, &data, nullptr, nullptr) == napi_ok)
        return {static_cast<uint8_t *>(data), dv_length};
    if (v.IsArrayBuffer()) {
        auto a = v.As<Napi::ArrayBuffer>();
        return {static_cast<uint8_t *>(a.Data()), a.ByteLength()};
    }
    throw Napi::TypeError::New(v.Env(), std::string("The \"") + name +
                                            "\" argument must be a Buffer, TypedArray, DataView "
                                            "or ArrayBuffer");
}

// Lengths are 32-bit in the C library; a longer input has no envelope.
uint32_t len32(Napi::Env env, size_t n) {
    if (n > UINT32_MAX) throw_result(env, SEALKIT_ERR_CAPACITY);
    return static_cast<uint32_t>(n);
}

// The library's record of a cipher value; unknown ones are its CIPHER error.
const sealkit_cipher_info &cipher_info(Napi::Env env, int cipher) {
    for (uint32_t i = 0; const sealkit_cipher_info *c = sealkit_cipher_at(i); ++i)
        if (c->id == cipher) return *c;
    throw_result(env, SEALKIT_ERR_CIPHER);
}

// The room a call needs: the envelope's length when sealing; when opening,
// the envelope's own length (the library writes its whole blocks, and the
// result is a view of the plaintext in them).
size_t out_len(Napi::Env env, int cipher, bool sealing, const Bytes &in) {
    if (!sealing) return in.size > 0 ? in.size : 1;
    const uint64_t n = sealkit_envelope_len(in.size, cipher_info(env, cipher).block);
    if (n > UINT32_MAX) throw_result(env, SEALKIT_ERR_CAPACITY);
    return static_cast<size_t>(n);
}

// The room of `out`, at most what a 32-bit length says.
uint32_t room(const Bytes &out) {
    return out.size > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(out.size);
}

// The library reads its input while it writes its output: an `out` that
// shares memory with the input would give wrong bytes and no error.
void refuse_overlap(Napi::Env env, const Bytes &in, const Bytes &out) {
    const auto a = reinterpret_cast<uintptr_t>(in.data), b = reinterpret_cast<uintptr_t>(out.data);
    if (in.size == 0 || out.size == 0 || a >= b + out.size || b >= a + in.size) return;
    Napi::Error e = Napi::TypeError::New(
        env, "The \"out\" argument overlaps the input: give it memory of its own");
    e.Set("code", Napi::String::New(env, "ERR_INVALID_ARG_VALUE"));
    throw e;
}

// A copy of an async call's input, which JavaScript may change, resize,
// transfer or free while the worker thread reads it: taken here, or, for a
// large input, taken by lib/api.js a slice per turn of the event loop into a
// Buffer that only it holds, and adopted here. Wiped when it may hold
// plaintext.
class InputCopy {
  public:
    InputCopy() = default;
    InputCopy(const InputCopy &) = delete;
    InputCopy &operator=(const InputCopy &) = delete;
    ~InputCopy() {
        if (bytes_.data == &g_empty) return;
        wipe();
        if (adopted_.IsEmpty()) delete[] bytes_.data;
    }
    // Wipes a copy that may hold plaintext: on the worker thread once the
    // call is done, so that a large one costs the event loop nothing.
    void wipe() {
        if (secret_ && bytes_.size > 0) OPENSSL_cleanse(bytes_.data, bytes_.size);
        secret_ = false;
    }
    // Holds `v`, a Buffer no other code can reach, instead of copying it.
    void adopt(const Napi::Value &v, const Bytes &from, bool secret) {
        secret_ = secret;
        adopted_ = Napi::Persistent(v.As<Napi::Object>());
        bytes_ = from.size > 0 ? from : Bytes{&g_empty, 0};
    }
    void take(Napi::Env env, const Bytes &from, bool secret) {
        secret_ = secret;
        bytes_.size = from.size;
        if (from.size == 0) return;
        bytes_.data = new (std::nothrow) uint8_t[from.size];
        if (bytes_.data == nullptr) {
            bytes_ = {&g_empty, 0};
            throw Napi::RangeError::New(env, "Out of memory for a copy of the input");
        }
        memcpy(bytes_.data, from.data, from.size);
    }
    const Bytes &bytes() const { return bytes_; }

  private:
    Bytes bytes_{&g_empty, 0};
    bool secret_ = false;
    Napi::ObjectReference adopted_;
};

// seal(cipher, data, key, out) and open(cipher, envelope, key, out): the
// one-shot pairs into `out`, which lib/api.js sizes; the length written.
// key is undefined for the built-in cipher.
Napi::Value one_shot(const Napi::CallbackInfo &info, bool sealing) {
    Napi::Env env = info.Env();
    const sealkit_cipher_info &c = cipher_info(env, info[0].As<Napi::Number>().Int32Value());
    const Bytes in = bytes(info[1], sealing ? "data" : "envelope");
    const uint32_t n = len32(env, in.size);
    Bytes key{nullptr, 0};
    if (c.min_key_len > 0) key = bytes(info[2], "key");
    const Bytes out = bytes(info[3], "out");
    uint32_t len = room(out);
    const int rc = sealkit_crypt(c.id, sealing ? SEALKIT_SEAL : SEALKIT_OPEN, key.data,
                                 len32(env, key.size), in.data, n, out.data, &len);
    check(env, rc);
    return Napi::Number::New(env, len);
}

class Key;

// A seal or open of one Key on the thread pool, on a copy of the input. The
// output Buffer, which JavaScript cannot reach before the Promise settles,
// is held by a reference until then.
class KeyWorker : public Napi::AsyncWorker {
  public:
    KeyWorker(Napi::Env env, Key *key, Napi::Object self, Napi::Value in, bool sealing, bool adopt);
    Napi::Promise promise() { return {Env(), promise_}; }

  protected:
    void Execute() override;
    void OnOK() override;
    void OnError(const Napi::Error &) override;

  private:
    void settle();
    bool result(napi_env env, napi_value *value) const;
    Key *key_;
    Napi::ObjectReference self_, out_ref_;
    napi_deferred deferred_ = nullptr;
    napi_value promise_ = nullptr;
    InputCopy in_;
    Bytes out_;
    bool sealing_;
    int rc_ = SEALKIT_OK;
};

// new Key(cipher, key): the library's key object. One call at a time: while
// an async call is in flight every other call fails with the busy result.
class Key : public Napi::ObjectWrap<Key> {
  public:
    static Napi::Function define(Napi::Env env) {
        return DefineClass(
            env, "NativeKey",
            {InstanceMethod<&Key::into<true>>("sealInto"),
             InstanceMethod<&Key::into<false>>("openInto"),
             InstanceMethod<&Key::async<true>>("sealAsync"),
             InstanceMethod<&Key::async<false>>("openAsync"),
             InstanceMethod<&Key::stream>("stream"), InstanceMethod<&Key::close>("close")});
    }

    explicit Key(const Napi::CallbackInfo &info) : Napi::ObjectWrap<Key>(info) {
        Napi::Env env = info.Env();
        cipher_ = info[0].As<Napi::Number>().Int32Value();
        Bytes key;
        if (cipher_info(env, cipher_).min_key_len > 0) key = bytes(info[1], "key");
        check(env, sealkit_key_new(&key_, static_cast<sealkit_cipher>(cipher_), key.data,
                                   len32(env, key.size)));
    }
    ~Key() override { sealkit_key_free(key_); }
    Key(const Key &) = delete;
    Key &operator=(const Key &) = delete;

    // The seal or open of every call on the key, in place (into) or on the
    // thread pool (the async calls); in.size and out.size fit 32 bits.
    // Sets out.size to the bytes written.
    int run(bool sealing, const Bytes &in, Bytes &out) {
        uint32_t len = static_cast<uint32_t>(out.size);
        const int rc =
            sealing ? sealkit_seal(key_, in.data, static_cast<uint32_t>(in.size), out.data, &len)
                    : sealkit_open(key_, in.data, static_cast<uint32_t>(in.size), out.data, &len);
        if (rc == SEALKIT_OK) out.size = len;
        return rc;
    }
    void done() {
        busy_ = false;
        if (closing_) close_now();
    }
    int cipher() const { return cipher_; }

  private:
    // Throws unless the key can take a call now.
    void ready(Napi::Env env) {
        if (key_ == nullptr) throw_closed(env, "the Key is closed");
        if (busy_) throw_result(env, SEALKIT_ERR_BUSY);
    }

    // sealInto(data, out, offset) / openInto: the bytes written; nothing is
    // written when it fails.
    template <bool sealing>
    Napi::Value into(const Napi::CallbackInfo &info) {
        Napi::Env env = info.Env();
        ready(env);
        const Bytes in = bytes(info[0], sealing ? "data" : "envelope");
        Bytes out = bytes(info[1], "out");
        const double offset = info[2].IsNumber() ? info[2].As<Napi::Number>().DoubleValue() : 0;
        if (!(offset >= 0 && offset <= static_cast<double>(out.size)))
            throw Napi::RangeError::New(env, "The \"offset\" argument is out of range");
        out.data += static_cast<size_t>(offset);
        out.size -= static_cast<size_t>(offset);
        len32(env, in.size);
        refuse_overlap(env, in, out);
        out.size = room(out);
        check(env, run(sealing, in, out));
        return Napi::Number::New(env, static_cast<double>(out.size));
    }

    template <bool sealing>
    Napi::Value async(const Napi::CallbackInfo &info) {
        Napi::Env env = info.Env();
        ready(env);
        // A second argument of true: the input is lib/api.js's own copy.
        auto *w = new KeyWorker(env, this, Value(), info[0], sealing,
                                info[1].IsBoolean() && info[1].As<Napi::Boolean>().Value());
        busy_ = true;
        w->Queue();
        return w->promise();
    }

    Napi::Value stream(const Napi::CallbackInfo &info);

    Napi::Value close(const Napi::CallbackInfo &info) {
        if (busy_)
            closing_ = true;  // once the call in flight is done
        else
            close_now();
        return info.Env().Undefined();
    }
    void close_now() {
        sealkit_key_free(key_);
        key_ = nullptr;
    }

    sealkit_key *key_ = nullptr;
    int cipher_ = 0;
    bool busy_ = false, closing_ = false;
};

KeyWorker::KeyWorker(Napi::Env env, Key *key, Napi::Object self, Napi::Value in, bool sealing,
                     bool adopt)
    : Napi::AsyncWorker(env, "sealkit"),
      key_(key),
      self_(Napi::Persistent(self)),
      sealing_(sealing) {
    if (napi_create_promise(env, &deferred_, &promise_) != napi_ok)
        throw Napi::Error::New(env, "cannot make a Promise");
    const Bytes from = bytes(in, sealing ? "data" : "envelope");
    len32(env, from.size);
    auto out = Napi::Buffer<uint8_t>::New(env, out_len(env, key->cipher(), sealing, from));
    if (adopt && in.IsBuffer())
        in_.adopt(in, from, sealing);
    else
        in_.take(env, from, sealing);
    out_ = {out.Data(), out.Length()};
    out_ref_ = Napi::Persistent(out.As<Napi::Object>());
}

void KeyWorker::Execute() {
    const size_t room = out_.size;
    rc_ = key_->run(sealing_, in_.bytes(), out_);
    in_.wipe();
    // An opened plaintext is a view of the Buffer's first bytes: nothing
    // else (the pad, the byte the library does not write, or a failed
    // call's bytes) stays readable behind it through .buffer.
    const size_t used = rc_ == SEALKIT_OK ? out_.size : 0;
    memset(out_.data + used, 0, room - used);
}

// The Promise's value in *value: the view of the output, or a SealkitError.
// Raw Node-API calls, each checked: false when one fails, as every call that
// runs JavaScript does while a worker thread's environment is torn down.
bool KeyWorker::result(napi_env env, napi_value *value) const {
    napi_value args[2], fn = nullptr, target = nullptr;
    if (rc_ != SEALKIT_OK) {
        void *data = nullptr;
        return napi_get_instance_data(env, &data) == napi_ok && data != nullptr &&
               napi_get_reference_value(env, static_cast<Instance *>(data)->error, &fn) ==
                   napi_ok &&
               napi_create_int32(env, rc_, &args[0]) == napi_ok &&
               napi_new_instance(env, fn, 1, args, value) == napi_ok;
    }
    if (napi_get_reference_value(env, out_ref_, &target) != napi_ok) return false;
    size_t room = 0;
    if (napi_get_buffer_info(env, target, nullptr, &room) != napi_ok) return false;
    if (room == out_.size) {
        *value = target;
        return true;
    }
    return napi_get_named_property(env, target, "subarray", &fn) == napi_ok &&
           napi_create_double(env, 0, &args[0]) == napi_ok &&
           napi_create_double(env, static_cast<double>(out_.size), &args[1]) == napi_ok &&
           napi_call_function(env, target, fn, 2, args, value) == napi_ok;
}

// Runs on the main thread, also while a worker thread's environment is torn
// down (process.exit() or terminate() with the call in flight). Nobody is
// left to see the Promise then, and nothing here may throw: node-addon-api's
// own error path can end the process when it cannot make its error object.
void KeyWorker::settle() {
    key_->done();
    napi_env env = Env();
    napi_value value = nullptr;
    if (!result(env, &value)) return;
    if (rc_ == SEALKIT_OK)
        napi_resolve_deferred(env, deferred_, value);
    else
        napi_reject_deferred(env, deferred_, value);
}

void KeyWorker::OnOK() {
    settle();
}

void KeyWorker::OnError(const Napi::Error &) {
    settle();
}

// A sealkit stream: update(chunk) and final() give Buffers, firstByte() the
// pad-count byte after a sealer's final. It has its own cipher state, so the
// key may be used or closed meanwhile.
class Stream : public Napi::ObjectWrap<Stream> {
  public:
    static Napi::Function define(Napi::Env env) {
        return DefineClass(
            env, "NativeStream",
            {InstanceMethod<&Stream::update>("update"), InstanceMethod<&Stream::final>("final"),
             InstanceMethod<&Stream::first_byte>("firstByte"),
             InstanceMethod<&Stream::close>("close")});
    }
    explicit Stream(const Napi::CallbackInfo &info) : Napi::ObjectWrap<Stream>(info) {}
    ~Stream() override { sealkit_stream_free(s_); }
    Stream(const Stream &) = delete;
    Stream &operator=(const Stream &) = delete;
    void adopt(sealkit_stream *s) { s_ = s; }

  private:
    sealkit_stream *live(Napi::Env env) {
        if (s_ == nullptr) throw_closed(env, "the stream is closed");
        return s_;
    }
    Napi::Value update(const Napi::CallbackInfo &info) {
        Napi::Env env = info.Env();
        sealkit_stream *s = live(env);
        const Bytes in = bytes(info[0], "chunk");
        const uint32_t n = len32(env, in.size);
        if (n > UINT32_MAX - SEALKIT_STREAM_EXTRA) throw_result(env, SEALKIT_ERR_CAPACITY);
        const uint32_t room = n + SEALKIT_STREAM_EXTRA;
        auto out = Napi::Buffer<uint8_t>::New(env, room);
        uint32_t len = room;
        check(env, sealkit_stream_update(s, in.data, n, out.Data(), &len));
        // A view of what was written, not a copy; the room behind it, which
        // the allocation left as it found it, is zeroed.
        memset(out.Data() + len, 0, room - len);
        return out.Get("subarray")
            .As<Napi::Function>()
            .Call(out, {Napi::Number::New(env, 0), Napi::Number::New(env, len)});
    }
    Napi::Value final(const Napi::CallbackInfo &info) {
        Napi::Env env = info.Env();
        sealkit_stream *s = live(env);
        uint8_t buf[SEALKIT_STREAM_EXTRA];
        uint32_t len = sizeof buf;
        check(env, sealkit_stream_final(s, buf, &len));
        Napi::Buffer<uint8_t> out = Napi::Buffer<uint8_t>::Copy(env, buf, len);
        OPENSSL_cleanse(buf, sizeof buf);  // an opened plaintext's last bytes
        return out;
    }
    Napi::Value first_byte(const Napi::CallbackInfo &info) {
        Napi::Env env = info.Env();
        unsigned char b = 0;
        check(env, sealkit_stream_first_byte(live(env), &b));
        return Napi::Number::New(env, b);
    }
    Napi::Value close(const Napi::CallbackInfo &info) {
        sealkit_stream_free(s_);
        s_ = nullptr;
        return info.Env().Undefined();
    }
    sealkit_stream *s_ = nullptr;
};

// key.stream(direction, total): total is a number, or undefined for unknown.
Napi::Value Key::stream(const Napi::CallbackInfo &info) {
    Napi::Env env = info.Env();
    ready(env);
    const int dir = info[0].As<Napi::Number>().Int32Value();
    const uint32_t total =
        info[1].IsNumber() ? info[1].As<Napi::Number>().Uint32Value() : SEALKIT_TOTAL_UNKNOWN;
    sealkit_stream *s = nullptr;
    check(env, sealkit_stream_new(&s, key_, static_cast<sealkit_direction>(dir), total));
    Napi::Object obj = env.GetInstanceData<Instance>()->stream.New({});
    Stream::Unwrap(obj)->adopt(s);
    return obj;
}

Napi::Value init(const Napi::CallbackInfo &info) {
    info.Env().GetInstanceData<Instance>()->error = Napi::Persistent(info[0].As<Napi::Function>());
    return info.Env().Undefined();
}

Napi::Object define_exports(Napi::Env env, Napi::Object exports) {
    exports.Set("init", Napi::Function::New(env, init));
    exports.Set("seal", Napi::Function::New(
                            env, [](const Napi::CallbackInfo &i) { return one_shot(i, true); }));
    exports.Set("open", Napi::Function::New(
                            env, [](const Napi::CallbackInfo &i) { return one_shot(i, false); }));
    exports.Set("version", Napi::String::New(env, sealkit_version()));
    // The library's tables: its ciphers, its result codes, and both as
    // constants by their C names.
    Napi::Object constants = Napi::Object::New(env);
    Napi::Array ciphers = Napi::Array::New(env), results = Napi::Array::New(env);
    for (uint32_t i = 0; const sealkit_cipher_info *c = sealkit_cipher_at(i); ++i) {
        Napi::Object o = Napi::Object::New(env);
        o.Set("name", c->name);
        o.Set("id", static_cast<int>(c->id));
        o.Set("block", c->block);
        o.Set("keyed", c->min_key_len > 0);
        ciphers.Set(i, o);
        constants.Set(c->constant, static_cast<int>(c->id));
    }
    for (uint32_t i = 0; const sealkit_result_info *r = sealkit_result_at(i); ++i) {
        Napi::Object o = Napi::Object::New(env);
        o.Set("code", r->code);
        o.Set("name", r->name);
        results.Set(i, o);
        constants.Set(r->constant, r->code);
    }
    constants.Set("SEALKIT_SEAL", static_cast<int>(SEALKIT_SEAL));
    constants.Set("SEALKIT_OPEN", static_cast<int>(SEALKIT_OPEN));
    constants.Set("SEALKIT_STREAM_EXTRA", SEALKIT_STREAM_EXTRA);
    exports.Set("ciphers", ciphers);
    exports.Set("results", results);
    exports.Set("constants", constants);
    exports.Set("strerror", Napi::Function::New(env, [](const Napi::CallbackInfo &i) {
                    return Napi::String::New(
                        i.Env(), sealkit_strerror(i[0].As<Napi::Number>().Int32Value()));
                }));
    exports.Set("NativeKey", Key::define(env));
    auto *instance = new Instance;
    env.SetInstanceData(instance);  // deleted with the environment
    Napi::Function stream = Stream::define(env);
    instance->stream = Napi::Persistent(stream);
    exports.Set("NativeStream", stream);
    return exports;
}

// A worker thread terminated while it loads the addon has an environment
// that runs no JavaScript: every step above throws, and so would passing
// that error on. Nobody is left to see it then, and it is dropped rather
// than let out of the module's initialisation, which would abort the
// process.
Napi::Object module_init(Napi::Env env, Napi::Object exports) {
    try {
        return define_exports(env, exports);
    } catch (const Napi::Error &e) {
        try {
            e.ThrowAsJavaScriptException();
        } catch (const Napi::Error &) {  // NOLINT(bugprone-empty-catch): see above
        }
        return {};
    }
}

}  // namespace

NODE_API_MODULE(sealkit, module_init)
