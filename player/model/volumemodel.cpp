#include "player/model/volumemodel.h"

#include <algorithm>

namespace player {

VolumeModel::VolumeModel(QvPlayerContext* context) : m_context(context) {}

VolumeModel::Setup VolumeModel::OnInit()
{
    Setup setup;
    if (m_context == nullptr) {
        return setup;
    }
    setup.muted = m_context->muted;
    setup.trackEnabled = !m_context->muted;
    if (m_context->controller != nullptr) {
        // Without a stream the controller has no volume (-1): the stored one
        // stays.
        const int volume = m_context->muted ? -1 : m_context->controller->GetVolume();
        if (volume >= 0) {
            m_context->volume = std::min(volume, kMaximum);
        }
        setup.position = kMaximum - m_context->volume;
    }
    m_lastApplied = m_context->volume;
    return setup;
}

void VolumeModel::Apply(int volume)
{
    m_context->volume = volume;
    if (m_context->controller != nullptr) {
        m_context->controller->SetVolume(volume);
    }
}

int VolumeModel::OnScroll(Scroll kind, int position)
{
    if (m_context == nullptr) {
        return -1;
    }
    int result = -1;
    switch (kind) {
    case Scroll::ThumbTrack: {
        const int volume = std::clamp(kMaximum - position, kMinimum, kMaximum);
        if (volume != m_lastApplied) {
            Apply(volume);
        }
        break;
    }
    case Scroll::PageUp:
        Apply(std::min(m_context->volume + kPage, kMaximum));
        result = kMaximum - m_context->volume;
        break;
    case Scroll::PageDown:
        Apply(std::max(m_context->volume - kPage, kMinimum));
        result = kMaximum - m_context->volume;
        break;
    case Scroll::Other:
        break;
    }
    m_lastApplied = m_context->volume;
    return result;
}

bool VolumeModel::OnMute(bool checked)
{
    if (m_context == nullptr) {
        return true;
    }
    m_context->muted = checked;
    if (m_context->controller != nullptr) {
        m_context->controller->SetVolume(checked ? 0 : m_context->volume);
    }
    return !checked;
}

} // namespace player
