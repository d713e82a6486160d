// Reassembly of a multi-frame chip-link message (a file, a routing table, a
// parameter set): frames in index order into one bounded buffer.
#pragma once
#include "Comm/framecodec.h"
#include <vector>

class MacReassembly {
public:
    enum class Result {
        Stored,     // taken, more frames to come
        Duplicate,  // a repeat of the frame just taken: dropped, the transfer goes on
        Dropped,    // out of order: the transfer is broken and will not be used
        Complete,   // the last frame of a whole message: Take() it
        Broken,     // the last frame of a broken transfer: nothing to use
    };
    // capacity: the largest message; 0 sizes the buffer by the frame count.
    explicit MacReassembly(size_t capacity) : m_capacity(capacity) {}

    Result Feed(const ST_ZR_IPCOMM& f, unsigned long long cap)
    {
        U32 idx = f.u32CurTansNum, total = f.u32SumTansNum, len = f.u32Length;
        bool last = total != 0 && idx == total - 1;
        if (idx == 0) {
            // A first frame always starts a new transfer.
            Reset();
            m_doneTotal = 0;
            unsigned long long want = m_capacity ? m_capacity : (unsigned long long)total * IPCOMM_MAX_DATA_LEN;
            m_active = true;
            m_total = total;
            m_broken = total == 0 || want > cap || len > want;
            if (!m_broken) {
                m_limit = (size_t)want;
                m_buf.assign(f.pu8Data, f.pu8Data + len);
            }
            m_expected = 1;
            return Finish(last);
        }
        if (m_active && m_expected > 0 && idx == m_expected - 1 && total == m_total)
            return Result::Duplicate;
        // The sender's retry of the last frame of a message already handed
        // over (its reply was lost): acknowledged, not handed over again.
        if (!m_active && m_doneTotal != 0 && total == m_doneTotal && idx == total - 1)
            return Result::Duplicate;
        if (!m_active || idx != m_expected || total != m_total) {
            // Not the next frame: the rest of this message is of no use.
            m_broken = true;
            m_buf.clear();
            m_buf.shrink_to_fit();
            if (m_active && total == m_total && idx > m_expected)
                m_expected = idx + 1;
            if (last) {
                Reset();
                return Result::Broken;
            }
            return Result::Dropped;
        }
        m_expected = idx + 1;
        if (!m_broken) {
            if (len > m_limit - m_buf.size()) {
                m_broken = true;
                m_buf.clear();
            } else {
                m_buf.insert(m_buf.end(), f.pu8Data, f.pu8Data + len);
            }
        }
        return Finish(last);
    }

    std::vector<U8> Take()
    {
        std::vector<U8> out;
        out.swap(m_done);
        return out;
    }
    U32 Expected() const { return m_expected; }
    bool Active() const { return m_active; }

private:
    Result Finish(bool last)
    {
        if (!last)
            return m_broken ? Result::Dropped : Result::Stored;
        bool ok = !m_broken;
        if (ok)
            m_done.swap(m_buf);
        U32 total = m_total;
        Reset();
        m_doneTotal = ok ? total : 0;
        return ok ? Result::Complete : Result::Broken;
    }
    void Reset()
    {
        m_active = false;
        m_broken = false;
        m_expected = 0;
        m_total = 0;
        m_limit = 0;
        m_buf.clear();
        m_buf.shrink_to_fit();
    }
    size_t m_capacity;
    bool m_active = false;
    bool m_broken = false;
    U32 m_expected = 0;
    U32 m_total = 0;
    U32 m_doneTotal = 0;  // frame count of the message last handed over
    size_t m_limit = 0;
    std::vector<U8> m_buf;
    std::vector<U8> m_done;
};
