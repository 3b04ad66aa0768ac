// The frames a link has accepted and not yet written: batches, writes, losses and spares.
#include "transport/send_queue.h"

#include <algorithm>

#include "transport/pipe_frame_buffer.h"

namespace tovi {

void send_queue::push_frame(byte_buffer&& frame) {
    queued_bytes_ += frame.size();
    batches_.push_back(batch{std::move(frame), 1, false});
}

void send_queue::push_rest_first(byte_buffer&& frame, size_t written) {
    queued_bytes_ += frame.size() - written;
    batches_.push_front(batch{std::move(frame), 1, false, written});
}

size_t send_queue::push_small(encoder write, const void* context) {
    if (batches_.empty() || !batches_.back().open ||
        batches_.back().bytes.size() + small_frame_bytes > write_batch_bytes) {
        batches_.push_back(batch{take_spare(), 0, true});
        batches_.back().bytes.reserve(write_batch_bytes);  // filled in place, never moved
    }
    batch& open = batches_.back();
    const size_t start = open.bytes.size();
    open.bytes.resize(start + frame_header_size);
    if (!write(open.bytes, writer_, context) || open.bytes.size() == start + frame_header_size) {
        open.bytes.resize(start);
        if (open.frames == 0) {
            batches_.pop_back();
        }
        return 0;
    }
    const size_t size = open.bytes.size() - start;
    pipe_frame_buffer::put_header(open.bytes.data() + start, static_cast<uint32_t>(size));
    ++open.frames;
    queued_bytes_ += size;
    return size;
}

send_queue::piece send_queue::begin_write(bool draining) {
    if (batch_left_ == 0) {
        batch& next = batches_.front();
        writing_ = std::move(next.bytes);  // written from where it lies
        batch_frames_ = next.frames;
        next_ = writing_.data() + next.written;
        batch_left_ = writing_.size() - next.written;
        batches_.pop_front();
    }
    write_size_ = std::min(batch_left_, draining ? drain_write_bytes : max_write_bytes);
    return piece{next_, write_size_};
}

void send_queue::write_done(bool draining) {
    queued_bytes_ -= write_size_;
    next_ += write_size_;
    batch_left_ -= write_size_;
    write_size_ = 0;
    note_taken(draining);
    if (batch_left_ == 0) {
        end_batch();
    }
}

void send_queue::note_taken(bool draining) {
    ++writes_taken_;
    if (draining) {
        last_progress_ = clock::now();
    }
}

void send_queue::write_failed(bool count_loss) {
    if (count_loss) {
        failed_frames_ += batch_frames_;  // counted with the rest when the link closes
        failed_bytes_ += batch_left_;
    }
    queued_bytes_ -= batch_left_;
    batch_left_ = 0;
    write_size_ = 0;
    end_batch();
}

send_queue::loss send_queue::drop_unwritten() {
    // The write outstanding counts as not written: its result comes back cancelled.
    loss lost{failed_frames_ + batch_frames_, queued_bytes_ + failed_bytes_};
    for (const batch& queued : batches_) {
        lost.frames += queued.frames;
    }
    batches_.clear();
    if (write_size_ == 0) {
        end_batch();  // a batch cut short is not written on
    }
    queued_bytes_ = batch_left_;  // the write outstanding: taken off when it comes back
    failed_frames_ = 0;
    failed_bytes_ = 0;
    return lost;
}

byte_buffer send_queue::take_spare() {
    byte_buffer spare;
    if (!spares_.empty()) {
        spare.swap(spares_.back());
        spares_.pop_back();
        spares_bytes_ -= spare.capacity();
        spare.clear();
    }
    return spare;
}

void send_queue::end_batch() {
    if (writing_.capacity() > 0 && spares_bytes_ + writing_.capacity() <= spare_bytes) {
        spares_bytes_ += writing_.capacity();
        spares_.push_back(std::move(writing_));
    }
    writing_ = byte_buffer();
    next_ = nullptr;
    batch_left_ = 0;
    batch_frames_ = 0;
}

bool send_queue::holds_large_spares() const {
    return spares_bytes_ > pipe_frame_buffer::retained_bytes;
}

std::vector<byte_buffer> send_queue::release_large_spares() {
    std::vector<byte_buffer> released;
    if (holds_large_spares()) {
        released.swap(spares_);
        spares_bytes_ = 0;
    }
    return released;
}

}  // namespace tovi
