#include "Values.h"
#include "Handles.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace dmoci {

namespace {

// The caller's variables need not be aligned: values are copied, not cast.
template <typename T>
T loadAs(const void* p)
{
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

template <typename T>
void storeAs(void* p, T v)
{
    memcpy(p, &v, sizeof v);
}

// Copies a column's text into a character define. Returns false when it
// was cut to fit the buffer.
bool storeText(OCIDefine& d, const char* text, size_t n)
{
    if (!text)
        n = 0;
    size_t room = d.size > 0 ? static_cast<size_t>(d.size) : 0;
    if (d.dty == SQLT_STR && room > 0)
        room -= 1;  // the terminator
    size_t copied = n < room ? n : room;
    if (copied)
        memcpy(d.value, text, copied);
    if (d.dty == SQLT_STR && d.size > 0)
        static_cast<char*>(d.value)[copied] = 0;
    if (d.returnedLength)
        *d.returnedLength = static_cast<ub2>(copied);
    if (copied == n)
        return true;
    if (d.indicator)
        *d.indicator = static_cast<sb2>(n > 32767 ? -2 : static_cast<long>(n));
    if (d.returnCode)
        *d.returnCode = 1406;
    return false;
}

}  // namespace

bool valueOfBind(const OCIBind& b, Value& v, Failure& failure)
{
    v = Value();
    if (b.indicator && *b.indicator == -1)
        return true;
    const char* p = static_cast<const char*>(b.value);
    switch (b.dty) {
    case SQLT_CHR:
    case SQLT_AFC:
    case SQLT_LNG:
    case SQLT_STR: {
        size_t n;
        if (b.dty == SQLT_STR)
            n = p && b.size > 0 ? strnlen(p, static_cast<size_t>(b.size)) : 0;
        else
            n = b.actualLength ? *b.actualLength : static_cast<size_t>(b.size > 0 ? b.size : 0);
        if (n > 0 && p) {
            v.kind = Value::Text;
            v.text = std::string_view(p, n);
        }
        return true;
    }
    case SQLT_INT:
        v.kind = Value::Int;
        switch (b.size) {
        case 1:
            v.i = loadAs<signed char>(p);  // NOLINT(bugprone-signed-char-misuse,cert-str34-c)
            return true;
        case 2:
            v.i = loadAs<short>(p);
            return true;
        case 4:
            v.i = loadAs<int>(p);
            return true;
        case 8:
            v.i = loadAs<long long>(p);
            return true;
        default:
            failure = {3115, "unsupported integer size"};
            return false;
        }
    case SQLT_FLT:
        v.kind = Value::Real;
        switch (b.size) {
        case 4:
            v.d = loadAs<float>(p);
            return true;
        case 8:
            v.d = loadAs<double>(p);
            return true;
        default:
            failure = {3115, "unsupported float size"};
            return false;
        }
    default:
        failure = {3115, "unsupported network datatype or representation"};
        return false;
    }
}

Value::Kind kindOfDefine(const OCIDefine& d)
{
    return d.dty == SQLT_INT ? Value::Int : d.dty == SQLT_FLT ? Value::Real : Value::Text;
}

bool storeInDefine(OCIDefine& d, const Value& v)
{
    bool isNull = v.kind == Value::Null;
    if (d.indicator)
        *d.indicator = isNull ? -1 : 0;
    if (d.returnCode)
        *d.returnCode = isNull ? 1405 : 0;
    Value::Kind wanted = kindOfDefine(d);
    if (wanted == Value::Text)
        return storeText(d, v.text.data(), v.text.size());
    // A number a driver gave as text is read as the server's text form.
    long long i = v.i;
    double x = v.d;
    if (v.kind == Value::Text) {
        const std::string text(v.text);
        i = strtoll(text.c_str(), nullptr, 10);
        x = strtod(text.c_str(), nullptr);
    }
    if (wanted == Value::Int) {
        if (d.size == 8)
            storeAs<long long>(d.value, i);
        else if (d.size == 4)
            storeAs<int>(d.value, static_cast<int>(i));
        else if (d.size == 2)
            storeAs<short>(d.value, static_cast<short>(i));
    } else {
        if (d.size == 8)
            storeAs<double>(d.value, x);
        else if (d.size == 4)
            storeAs<float>(d.value, static_cast<float>(x));
    }
    return true;
}

}  // namespace dmoci
