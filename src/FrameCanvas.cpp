#include "FrameCanvas.h"

#include <cstring>
#include <utility>

void FrameCanvas::Kept::restore(uint8_t* data) {
    size_t end = m_bytes.size();
    for (auto s = m_spans.rbegin(); s != m_spans.rend(); ++s) {
        end -= s->count;
        memcpy(data + s->start, m_bytes.data() + end, s->count);
    }
    clear();
}

void FrameCanvas::Kept::clear() {
    m_spans.clear();
    m_bytes.clear();
}

void FrameCanvas::begin(uint8_t* data, uint32_t size, bool keep) {
    forget();
    m_data = data;
    m_size = size;
    m_keep = keep;
    m_refused = false;
}

bool FrameCanvas::claim(uint64_t start, uint64_t count) {
    if (start + count > m_size) {
        m_refused = true;
        return false;
    }
    if (m_keep && count) {
        auto& spans = m_kept.m_spans;
        // Writers that cover the channels just claimed (an effect drawn twice,
        // a model over a model) need nothing more kept.
        if (!spans.empty() && spans.back().start == start && spans.back().count >= count) return true;
        spans.push_back({(uint32_t)start, (uint32_t)count});
        m_kept.m_bytes.insert(m_kept.m_bytes.end(), m_data + start, m_data + start + count);
    }
    return true;
}

FrameCanvas::Kept FrameCanvas::take(Kept&& room) {
    Kept out = std::move(m_kept);
    m_kept = std::move(room);
    m_kept.clear();
    return out;
}
