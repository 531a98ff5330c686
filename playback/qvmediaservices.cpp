#include "playback/qvamovdata.h"

#include "core/receive/qvcollector.h"
#include "core/settings/qvproplist.h"

#include "platform/com/comreg.h"
#include "platform/com/creation.h"

#include <filesystem>

namespace {

// The multicast source filter.
constexpr qvplat::CLSID kClsidMulticastSource =
    qvplat::MakeGuid("{EFD7EA8D-A55B-4D14-8612-3E97DFBB2023}");

} // namespace

QvMediaServices::~QvMediaServices() = default;

std::unique_ptr<qvplat::MediaGraph> QvMediaServices::CreateGraph(const qvplat::MediaSinks& sinks)
{
    return qvplat::CreateMediaGraph(sinks);
}

GstElement* QvMediaServices::CreateLiveSource(QvUdpDataCollector& /*receiver*/,
                                              const QvPropertyList& /*settings*/,
                                              qvplat::ComPtr<qvplat::IUnknown>& filter,
                                              std::string& failure)
{
    if (qvplat::Failed(qvplat::CoCreateInstance(kClsidMulticastSource, filter))) {
        failure = "Failed to create Talvex source filter";
        return nullptr;
    }
    failure = "Failed to add Talvex source filter";
    filter.Reset();
    return nullptr;
}

qvplat::HRESULT QvMediaServices::OpenFileSource(const std::string& path,
                                                qvplat::ComPtr<qvplat::IUnknown>& filter,
                                                GstElement*& element)
{
    element = nullptr;
    const std::string extension = std::filesystem::path(path).extension().string();
    std::string text;
    qvplat::CLSID clsid;
    if (extension.empty() ||
        !qvplat::comreg::ReadText("Media Type\\Extensions\\" + extension, "Source Filter",
                                  text) ||
        qvplat::Failed(qvplat::CLSIDFromString(text, &clsid))) {
        return qvplat::S_FALSE;
    }
    const qvplat::HRESULT hr = qvplat::CoCreateInstance(clsid, filter);
    if (qvplat::Failed(hr)) {
        return hr;
    }
    filter.Reset();
    return qvplat::E_NOINTERFACE;
}

std::shared_ptr<QvMediaServices> QvMediaServices::Default()
{
    static const std::shared_ptr<QvMediaServices> services = std::make_shared<QvMediaServices>();
    return services;
}

QvAMovData::~QvAMovData() = default;
