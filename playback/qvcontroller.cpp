#include "playback/qvcontroller.h"

#include "core/settings/qvlog.h"
#include "playback/qvfilectl.h"
#include "playback/qvlivectl.h"

#include <cstring>
#include <new>

// ---- QvStreamController2 -----------------------------------------------------

QvStreamController2::~QvStreamController2()
{
    if (m_created && m_window != nullptr) {
        m_window->DestroyWindow();
    }
}

int QvStreamController2::Play()
{
    return -1;
}

int QvStreamController2::Pause()
{
    return -1;
}

int QvStreamController2::Stop()
{
    return -1;
}

void QvStreamController2::SetPosition(double /*position*/) {}

double QvStreamController2::GetPosition()
{
    return -1.0;
}

double QvStreamController2::GetLength()
{
    return -1.0;
}

void QvStreamController2::SetVolume(int /*volume*/) {}

int QvStreamController2::GetVolume()
{
    return -1;
}

int QvStreamController2::GetStreamState()
{
    return -1;
}

void QvStreamController2::SetFrame(QvWnd* /*frame*/) {}
void QvStreamController2::SetDisplayMode(int /*mode*/) {}
void QvStreamController2::NewWindow() {}
void QvStreamController2::Periodic() {}
void QvStreamController2::PostCreate() {}

bool QvStreamController2::Initialize(const QvRect& rect, QvWnd* parent, QvPropertyList* /*list*/,
                                     QvMessageQueue* /*queue*/)
{
    m_rect = rect;
    m_parent = parent;
    m_window = parent != nullptr ? parent->CreateDisplayWindow(rect, *this) : nullptr;
    if (m_window == nullptr) {
        m_created = false;
        m_initialized = false;
        return false;
    }
    m_created = true;
    if (!IsInitialized()) {
        m_initialized = true;
        return true;
    }
    return false;
}

void QvStreamController2::UnInitialize()
{
    if (m_created && m_window != nullptr) {
        m_window->DestroyWindow(); // reports back through OnDisplayDestroy
    }
    m_created = false;
    m_window = nullptr;
    m_initialized = false;
}

void QvStreamController2::MoveWindow(const QvRect& rect)
{
    if (m_window != nullptr) {
        m_window->MoveWindow(rect);
    }
}

void QvStreamController2::OnDisplaySize(const QvRect& /*client*/) {}

void QvStreamController2::OnDisplayDestroy()
{
    m_created = false;
    m_window = nullptr;
}

void QvStreamController2::OnVideoExpose() {}

// ---- QvAMovController --------------------------------------------------------

namespace {

// The media layer's problems go to the debug log.
void LogMediaLine(const std::string& line)
{
    QvDebugMsg("%s", line.c_str());
}

} // namespace

QvAMovController::QvAMovController() : QvAMovController(QvMediaServices::Default()) {}

QvAMovController::QvAMovController(std::shared_ptr<QvMediaServices> mediaServices)
    : m_services(std::move(mediaServices))
{
    qvplat::SetMediaLogHandler(&LogMediaLine);
    this->services = m_services.get();
    intMessageQueue = &m_intQueue;
    propertyList = &m_settings;
}

QvAMovController::~QvAMovController()
{
    UnInitialize();
}

bool QvAMovController::Initialize(const QvRect& rect, QvWnd* parent, QvPropertyList* list,
                                  QvMessageQueue* queue)
{
    if (IsInitialized()) {
        return false;
    }
    if (list == nullptr) {
        UnInitialize();
        return false;
    }
    bool flag = false;
    int number = 0;
    if (list->FindProperty("ShowLine1", flag)) {
        showLine1 = flag;
    }
    if (list->FindProperty("Repeat", flag)) {
        repeat = flag;
    }
    if (list->FindProperty("KeepAspectRatio", flag)) {
        keepAspectRatio = flag;
    }
    if (list->FindProperty("NotifyOnEndData", flag)) {
        notifyOnEndData = flag;
    }
    if (list->FindProperty("BorderWidth", number)) {
        borderWidth = number;
    }
    if (!QvStreamController2::Initialize(rect, parent, list, queue)) {
        return false;
    }
    frameWindow = parent;
    m_settings = *list;
    propertyList = &m_settings;
    streamMessageQueue = queue;
    displayWindow = m_window;

    const char* name = nullptr;
    if (!m_settings.GetProperty("Filename").isNull()) {
        mode = kModeFile;
        name = "IFileAMovStreamControl";
    } else if (!m_settings.GetProperty("Port").isNull() ||
               !m_settings.GetProperty("SDP").isNull()) {
        mode = kModeLive;
        name = "ILiveAMovStreamControl";
    } else {
        UnInitialize();
        return false;
    }
    QvObjectFactoryEx factory;
    streamControl = dynamic_cast<QvIStreamControl*>(factory.CreateObject(name, &m_settings));
    if (streamControl == nullptr) {
        UnInitialize();
        return false;
    }
    streamControl->SetQvData(static_cast<QvAMovData*>(this));
    m_initialized = true;
    return true;
}

void QvAMovController::DeleteStreamControl()
{
    if (streamControl != nullptr) {
        QvIStreamControl* control = streamControl;
        control->Stop();
        streamControl = nullptr;
        delete control;
    }
}

void QvAMovController::UnInitialize()
{
    QvStreamController2::UnInitialize();
    DeleteStreamControl();
}

QvObject* QvAMovController::GetQvInterface(const char* name)
{
    if (name != nullptr && std::strcmp(name, "IStreamControl") == 0) {
        return streamControl;
    }
    return nullptr;
}

int QvAMovController::Play()
{
    return streamControl != nullptr ? streamControl->Play() : -1;
}

int QvAMovController::Pause()
{
    return streamControl != nullptr ? streamControl->Pause() : -1;
}

int QvAMovController::Stop()
{
    return streamControl != nullptr ? streamControl->Stop() : -1;
}

void QvAMovController::SetPosition(double position)
{
    if (streamControl != nullptr) {
        streamControl->SetPosition(position);
    }
}

double QvAMovController::GetPosition()
{
    return streamControl != nullptr ? streamControl->GetPosition() : -1.0;
}

double QvAMovController::GetLength()
{
    return streamControl != nullptr ? streamControl->GetLength() : -1.0;
}

void QvAMovController::SetVolume(int volume)
{
    if (streamControl != nullptr) {
        streamControl->SetVolume(volume);
    }
}

int QvAMovController::GetVolume()
{
    return streamControl != nullptr ? streamControl->GetVolume() : -1;
}

int QvAMovController::GetStreamState()
{
    return streamControl != nullptr ? streamControl->GetStreamState() : 0;
}

void QvAMovController::SetFrame(QvWnd* frame)
{
    frameWindow = frame;
    if (streamControl != nullptr) {
        streamControl->SetFrame(frame);
    }
}

void QvAMovController::SetDisplayMode(int displayMode)
{
    if (streamControl != nullptr) {
        streamControl->SetDisplayMode(displayMode);
    }
}

void QvAMovController::NewWindow()
{
    if (streamControl != nullptr) {
        streamControl->NewWindow();
    }
}

void QvAMovController::Periodic()
{
    if (streamControl != nullptr) {
        streamControl->Periodic();
    }
    m_intQueue.DispatchMessages(static_cast<QvIntMessage*>(this));
}

void QvAMovController::OnStreamReady(unsigned long /*value*/)
{
    if (streamControl != nullptr) {
        streamControl->OnStreamReady();
    }
}

void QvAMovController::OnStartThreshold(unsigned long /*value*/)
{
    if (streamControl != nullptr) {
        streamControl->OnStartThreshold();
    }
}

void QvAMovController::OnDataTimeout(unsigned long /*value*/)
{
    if (streamControl != nullptr) {
        streamControl->OnDataTimeout();
    }
}

void QvAMovController::OnPlayStart(unsigned long /*value*/)
{
    if (streamControl != nullptr) {
        streamControl->PlayStart();
    }
}

void QvAMovController::OnDisplaySize(const QvRect& client)
{
    if (streamControl != nullptr) {
        streamControl->SetDisplayPos(client);
    }
}

void QvAMovController::OnDisplayDestroy()
{
    // The control lets go of the video while the window still exists.
    if (streamControl != nullptr) {
        streamControl->Stop();
    }
    QvStreamController2::OnDisplayDestroy();
    displayWindow = nullptr;
}

void QvAMovController::OnVideoExpose()
{
    if (graph != nullptr) {
        graph->RepaintVideo();
    }
}

// ---- QvObjectFactoryEx -------------------------------------------------------

QvObjectFactoryEx::~QvObjectFactoryEx() = default;

QvObject* QvObjectFactoryEx::CreateObject(const char* name, QvPropertyList* props)
{
    if (name != nullptr && std::strcmp(name, "IFileAMovStreamControl") == 0) {
        return new (std::nothrow) QvIFileAMovStreamControl;
    }
    if (name != nullptr && std::strcmp(name, "ILiveAMovStreamControl") == 0) {
        return new (std::nothrow) QvILiveAMovStreamControl;
    }
    return QvObjectFactory::CreateObject(name, props);
}
