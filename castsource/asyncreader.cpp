// The multicast source component: the filter object with its file-source
// interface and its element, the class table and the server's exports.
#include "castsource/castsource.h"
#include "castsource/castsrcelement.h"

#include "platform/com/comreg.h"
#include "platform/com/server.h"

#include <gst/gst.h>

#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>

using namespace qvplat;

namespace {

constexpr const char* kFilterName = "Veltora Multicast Source";
constexpr std::uint32_t kMerit = 0x400000;
constexpr const char* kExtensionKey = "Media Type\\Extensions\\.qsl";

class CAsyncReader final : public ComObject<IQvFileSourceFilter, IQvSourceElement>
{
public:
    explicit CAsyncReader(IUnknown* outer)
        : ComObject(outer), m_stream(std::make_shared<CTalvexStream>())
    {
        m_element = castsrc::MakeElement(m_stream, this);
        if (m_element == nullptr) {
            throw std::runtime_error("GStreamer is not available");
        }
    }
    ~CAsyncReader() override
    {
        castsrc::DetachFilter(m_element);
        gst_object_unref(m_element);
        std::lock_guard<std::mutex> hold(m_fileLock);
        FreeMediaType(m_mediaType);
    }

    HRESULT Load(const char16_t* fileName, const AM_MEDIA_TYPE* type) override
    {
        if (fileName == nullptr) {
            return E_POINTER;
        }
        std::unique_lock<std::mutex> hold(m_fileLock);
        if (m_loaded) {
            return E_FAIL;
        }
        AM_MEDIA_TYPE stored{};
        if (type != nullptr && Failed(CopyMediaType(stored, *type))) {
            return E_OUTOFMEMORY;
        }
        m_fileName = std::make_unique<UtWideString>(fileName);
        m_mediaType = stored;
        m_loaded = true;
        const UtCString narrow = m_fileName->toAscii();
        hold.unlock();

        m_stream->SetFileName(narrow);
        // The extension: from the last dot to the end, upper-cased.
        const char* dot = std::strrchr(narrow.chars(), '.');
        if (dot != nullptr && toUpper(UtCString(dot)) == ".QSL") {
            SetSourceReady(true);
        }
        return S_OK;
    }

    HRESULT GetCurFile(char16_t** fileName, AM_MEDIA_TYPE* type) override
    {
        if (fileName == nullptr) {
            return E_POINTER;
        }
        *fileName = nullptr;
        std::lock_guard<std::mutex> hold(m_fileLock);
        if (!m_loaded) {
            return E_FAIL;
        }
        const std::size_t bytes = 2 * (std::size_t{m_fileName->length()} + 1);
        auto* copy = static_cast<char16_t*>(CoTaskMemAlloc(bytes));
        if (copy == nullptr) {
            return E_OUTOFMEMORY;
        }
        if (type != nullptr && Failed(CopyMediaType(*type, m_mediaType))) {
            CoTaskMemFree(copy);
            return E_OUTOFMEMORY;
        }
        std::memcpy(copy, m_fileName->chars(), bytes);
        *fileName = copy;
        return S_OK;
    }

    CTalvexStream* GetStream() override { return m_stream.get(); }
    GstElement* GetElement() override { return m_element; }

private:
    std::shared_ptr<CTalvexStream> m_stream;
    GstElement* m_element = nullptr;
};

const ComClassInfo kClasses[] = {
    {.clsid = CLSID_QvMulticastSource,
     .create = &CreateComInstance<CAsyncReader>,
     .typeName = kFilterName,
     .threadingModel = "Both"},
};
const ComServerInfo kServer{kClasses};

std::string ClassKey()
{
    return "CLSID\\" + GuidToString(CLSID_QvMulticastSource);
}

} // namespace

QV_COM_EXPORT HRESULT DllGetClassObject(const CLSID& clsid, const IID& iid, void** out)
{
    return ServerGetClassObject(kServer, clsid, iid, out);
}

QV_COM_EXPORT HRESULT DllCanUnloadNow()
{
    return ServerCanUnloadNow();
}

// The ".qsl" extension names this class as its source, then the class keys,
// with the filter's merit beside its name.
QV_COM_EXPORT HRESULT DllRegisterServer()
{
    const std::string id = GuidToString(CLSID_QvMulticastSource);
    RegKey extension;
    if (extension.Create(RegRoot::ClassesRoot, kExtensionKey) != RegResult::Success ||
        extension.SetValue("Source Filter", REG_SZ, id.data(),
                           static_cast<std::uint32_t>(id.size())) != RegResult::Success) {
        return SELFREG_E_CLASS;
    }
    if (const HRESULT hr = ServerRegister(kServer); Failed(hr)) {
        return hr;
    }
    RegKey filter;
    if (filter.Open(RegRoot::ClassesRoot, ClassKey()) != RegResult::Success ||
        filter.SetValue(MakeDwordValue("Merit", kMerit)) != RegResult::Success) {
        return SELFREG_E_CLASS;
    }
    return S_OK;
}

QV_COM_EXPORT HRESULT DllUnregisterServer()
{
    if (comreg::DeleteTree(kExtensionKey) != RegResult::Success) {
        return SELFREG_E_CLASS;
    }
    return ServerUnregister(kServer);
}
