#include "playback/qvamovdata.h"

#include "castsource/castsource.h"
#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"

#include "platform/com/comreg.h"
#include "platform/com/creation.h"

#include <filesystem>
#include <string>

QvMediaServices::~QvMediaServices() = default;

std::unique_ptr<qvplat::MediaGraph> QvMediaServices::CreateGraph(const qvplat::MediaSinks& sinks)
{
    return qvplat::CreateMediaGraph(sinks);
}

GstElement* QvMediaServices::CreateLiveSource(QvUdpDataCollector& receiver,
                                              const QvPropertyList& settings,
                                              qvplat::ComPtr<qvplat::IUnknown>& filter,
                                              std::string& failure)
{
    filter.Reset();
    qvplat::ComPtr<qvplat::IUnknown> made;
    if (qvplat::Failed(qvplat::CoCreateInstance(CLSID_QvMulticastSource, made))) {
        failure = "Failed to create Talvex source filter";
        return nullptr;
    }
    const qvplat::ComPtr<IQvSourceElement> element = made.As<IQvSourceElement>();
    GstElement* source = element ? element->GetElement() : nullptr;
    if (source == nullptr) {
        failure = "Failed to add Talvex source filter";
        return nullptr;
    }
    // The hand-over: the receiver, and a copy of the settings that the
    // receiver reads from now on; the filter is then ready.
    const qvplat::ComPtr<IQvFileSourceFilter> files = made.As<IQvFileSourceFilter>();
    if (!files || !QvHandOverReceiver(*files.Get(), &receiver, settings)) {
        failure = "Failed to find IFileSourceFilter";
        return nullptr;
    }
    filter = made;
    return source;
}

qvplat::HRESULT QvMediaServices::OpenFileSource(const std::string& path,
                                                qvplat::ComPtr<qvplat::IUnknown>& filter,
                                                GstElement*& element)
{
    element = nullptr;
    filter.Reset();
    const std::string extension = std::filesystem::path(path).extension().string();
    std::string text;
    qvplat::CLSID clsid;
    if (extension.empty() ||
        !qvplat::comreg::ReadText("Media Type\\Extensions\\" + extension, "Source Filter", text) ||
        qvplat::Failed(qvplat::CLSIDFromString(text, &clsid))) {
        return qvplat::S_FALSE;
    }
    qvplat::ComPtr<IQvFileSourceFilter> files;
    if (const qvplat::HRESULT hr = qvplat::CoCreateInstance(clsid, files); qvplat::Failed(hr)) {
        return hr;
    }
    // The filter takes the name one byte per wide character, as it gives
    // it back.
    const std::u16string wide(path.begin(), path.end());
    const qvplat::ComPtr<IQvSourceElement> source = files.As<IQvSourceElement>();
    if (!source || qvplat::Failed(files->Load(wide.c_str(), nullptr))) {
        return qvplat::E_FAIL;
    }
    element = source->GetElement();
    if (element == nullptr) {
        return qvplat::E_FAIL;
    }
    filter = files.As<qvplat::IUnknown>();
    return qvplat::S_OK;
}

std::shared_ptr<QvMediaServices> QvMediaServices::Default()
{
    static const std::shared_ptr<QvMediaServices> services = std::make_shared<QvMediaServices>();
    return services;
}

QvAMovData::~QvAMovData() = default;
