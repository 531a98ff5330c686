#include "platform/com/hresult.h"

#include <atomic>
#include <cstdio>

namespace qvplat {

const char* HResultName(HRESULT hr)
{
    struct Name
    {
        HRESULT hr;
        const char* text;
    };
    static constexpr Name kNames[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_NOTIMPL, "E_NOTIMPL"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_POINTER, "E_POINTER"},
        {E_FAIL, "E_FAIL"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND"},
        {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
        {DISP_E_UNKNOWNNAME, "DISP_E_UNKNOWNNAME"},
        {DISP_E_BADVARTYPE, "DISP_E_BADVARTYPE"},
        {DISP_E_EXCEPTION, "DISP_E_EXCEPTION"},
        {DISP_E_OVERFLOW, "DISP_E_OVERFLOW"},
        {DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT"},
        {RPC_E_WRONG_THREAD, "RPC_E_WRONG_THREAD"},
        {SELFREG_E_TYPELIB, "SELFREG_E_TYPELIB"},
        {SELFREG_E_CLASS, "SELFREG_E_CLASS"},
        {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
        {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
        {REGDB_E_CLASSNOTREG, "REGDB_E_CLASSNOTREG"},
        {CO_E_NOTINITIALIZED, "CO_E_NOTINITIALIZED"},
        {CO_E_CLASSSTRING, "CO_E_CLASSSTRING"},
        {CO_E_DLLNOTFOUND, "CO_E_DLLNOTFOUND"},
        {CO_E_ERRORINDLL, "CO_E_ERRORINDLL"},
    };
    for (const Name& name : kNames) {
        if (name.hr == hr) {
            return name.text;
        }
    }
    return Succeeded(hr) ? "success" : "failure";
}

namespace {
void LogToStderr(const std::string& line)
{
    std::fprintf(stderr, "com: %s\n", line.c_str());
}
std::atomic<ComLogHandler> g_logHandler{&LogToStderr};
} // namespace

ComLogHandler SetComLogHandler(ComLogHandler handler)
{
    return g_logHandler.exchange(handler != nullptr ? handler : &LogToStderr);
}

void ComLog(const std::string& line)
{
    g_logHandler.load()(line);
}

} // namespace qvplat
