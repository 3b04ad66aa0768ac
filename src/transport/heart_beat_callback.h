// What a heart_beat_timer calls at every beat.
#pragma once

namespace tovi {

class heart_beat_callback {
  public:
    // Called on the owner's event-loop thread once per interval, without any lock of the
    // sender; the implementation takes the locks it needs. The result is not looked at.
    virtual bool on_heart_beat() = 0;

  protected:
    ~heart_beat_callback() = default;
};

}  // namespace tovi
