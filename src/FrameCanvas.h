#pragma once
// The channel bytes that the drawers of one frame (bridge data, effects,
// overlay models) write into. Either the sequence player's own buffer, a
// copy of the frame, or, to spare a copy of millions of channels, the
// frame's own decoded bytes drawn on in place. In place, every write first
// keeps what it covers, so the frame can be given back exactly as it was
// read: a paused, repeated or stepped-back frame is drawn on again from its
// own bytes, and a stopped overlay leaves the sequence's bytes beneath.
// Writes past the frame's bytes are refused (no output reads them); the
// player then draws on a copy instead. Used on the output thread only.

#include <cstddef>
#include <cstdint>
#include <vector>

class FrameCanvas {
public:
    // What drawing in place covered: the channels and their old bytes.
    class Kept {
    public:
        bool empty() const { return m_spans.empty(); }
        size_t bytes() const { return m_bytes.size(); }
        // Writes the old bytes back into data (newest first, so
        // overlapping writers unwind in order) and forgets them.
        void restore(uint8_t* data);
        // Forgets them, keeping the room for the next drawing.
        void clear();

    private:
        friend class FrameCanvas;
        struct Span {
            uint32_t start;
            uint32_t count;
        };
        std::vector<Span> m_spans;
        std::vector<uint8_t> m_bytes;  // the spans' old bytes, one after the other
    };

    FrameCanvas() = default;
    // A canvas over data[0, size) that nothing needs to give back.
    FrameCanvas(uint8_t* data, uint32_t size) : m_data(data), m_size(size) {}

    // Starts a frame's drawing on data[0, size); keep: the bytes are a
    // frame's own, kept before they are written. Whatever the canvas kept
    // before is forgotten (restore() or take() it first).
    void begin(uint8_t* data, uint32_t size, bool keep);
    uint8_t* data() const { return m_data; }
    uint32_t size() const { return m_size; }

    // Called before channels [start, start + count) are written. False when
    // they reach past the canvas: nothing of them may be written then.
    bool claim(uint64_t start, uint64_t count);
    // A claim was refused since begin().
    bool refused() const { return m_refused; }

    // Gives back what the drawing covered.
    void restore() { m_kept.restore(m_data); }
    // Forgets it without writing it back: the bytes are gone.
    void forget() { m_kept.clear(); }
    size_t keptBytes() const { return m_kept.bytes(); }
    // Hands what was kept to the caller, to give back later, and takes
    // `room` (a record given back before) to keep the next drawing in.
    Kept take(Kept&& room);

private:
    uint8_t* m_data = nullptr;
    uint32_t m_size = 0;
    bool m_keep = false;
    bool m_refused = false;
    Kept m_kept;
};
