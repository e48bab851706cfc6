// LobeSteer: the base of C++ device classes that store beam patterns in the device for fast
// switching. A device class implements the six abstract operations and overrides the hooks it
// needs; the base class runs the setup sequence around pattern-storing operations, reads and
// switches fast parallel mode and makes the beam pattern manager on first use. It writes no log
// and catches no failure.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "kestrix/contracts/beam_pattern_manager.hpp"
#include "kestrix/contracts/errors.hpp"
#include "kestrix/contracts/modes.hpp"
#include "kestrix/contracts/ret_type.hpp"
#include "kestrix/contracts/rsp_type.hpp"
#include "kestrix/lobesteer/fast_beam.hpp"

namespace kestrix::lobesteer {

// An operation that the device class had to provide and did not.
class NotImplementedError : public Error {
 public:
  using Error::Error;
};

// A command table entry as `_fbs_cmd_dict` hands it out: owned by the caller.
struct FbsCommandEntry {
  std::string hook;
  std::string command;
  RspType rsp_type;
};

class LobeSteer {
 public:
  virtual ~LobeSteer() = default;

  // The device's beam pattern manager, made by `_create_beam_pattern_mgr` the first time it is
  // asked for while none is held (it is memory-heavy, so devices whose users never steer beams
  // never hold one). A failing factory leaves the cache empty and is asked again next time.
  const BeamPatternManagerHandle& beam_pattern_mgr();

  // The command list for the fast beam manager, in table order, as a new list on every call.
  static std::vector<FbsCommandEntry> _fbs_cmd_dict();

  // Fast parallel mode. Reading asks the device and returns success carrying the on/off state;
  // a reply that is not one decimal integer throws std::invalid_argument.
  RetType getFastParallelMode();
  // Sends the enable flag and the mode; on success sets `external_control_enabled` to `toEnable`.
  RetType setFastParallelMode(bool toEnable, FBSMode fbs_mode = FBSMode::FULL_GAIN_PHASE);

  // Erase the fast beam configuration: the setup sequence around an empty operation.
  RetType eraseFastBeamConfig();
  // Update the fast beam configuration: the setup sequence around `_reboot`, whose record is the
  // result unchanged.
  RetType syncFastBeamConfig();

  // The fast beam gain and pattern operations each device class fills in. The base versions
  // throw NotImplementedError. The defaults of `setFastBeamGain` are those of this interface.
  virtual RetType getFastBeamGain(RFMode rf_mode, int beam_id) = 0;
  virtual RetType getFastBeamPattern(int beam_id) = 0;
  virtual RetType setFastBeamGain(RFMode rf_mode, int beam_id, bool enable, int com_gain = 0,
                                  int ele_gain = 0) = 0;
  virtual RetType setFastBeamPatternThetaPhi(int beam_id, double rf_freq, double theta,
                                             double phi) = 0;
  virtual RetType setFastBeamPatternAzEl(int beam_id, double rf_freq, double azimuth,
                                         double elevation) = 0;

  // The fast parallel mode state this host last wrote successfully (not what the device reports).
  bool external_control_enabled = false;

 protected:
  // Creates the device-specific BeamPatternManager instance. Only `beam_pattern_mgr` calls it.
  virtual BeamPatternManagerHandle _create_beam_pattern_mgr() = 0;

  // Hooks: how the device class reaches the device, by the command texts of the table. They are
  // not abstract: a class that lacks one works until an operation needs it, and then the base
  // version throws NotImplementedError.
  //   flag: "1" switches beam pattern storage on, "0" off.
  virtual RetType _setBeamPatternEnable(const std::string& flag);
  virtual RetType _eraseBeamPattern(int user_delay);
  virtual RetType _applyBeamPatternToBFIC(int user_delay);
  //   Success carries the state as an integer or its decimal text.
  virtual RetType _getExtCtrl();
  //   text: see externalControlText().
  virtual RetType _setExtCtrl(const std::string& text);
  virtual RetType _reboot();

  // Runs `body` (returning RetType) inside the setup sequence: the C++ counterpart of decorating
  // an operation with `_require_beam_pattern_setup`.
  template <class Body>
  RetType withBeamPatternSetup(Body&& body) {
    Face face{*this};
    return runWithBeamPatternSetup(face, std::forward<Body>(body));
  }

  // Cache behind `beam_pattern_mgr`; empty until first use.
  BeamPatternManagerHandle _beam_pattern_mgr;

 private:
  // The device interface of the shared sequences, over this object's hooks.
  struct Face {
    using Result = RetType;
    LobeSteer& self;

    static bool succeeded(const RetType& r) { return r.code == RetCode::OK; }
    RetType setBeamPatternEnable(std::string_view flag) {
      return self._setBeamPatternEnable(std::string(flag));
    }
    RetType eraseBeamPattern(int user_delay) { return self._eraseBeamPattern(user_delay); }
    void applyBeamPatternToBFIC(int user_delay) { (void)self._applyBeamPatternToBFIC(user_delay); }
    RetType getExtCtrl() { return self._getExtCtrl(); }
    RetType setExtCtrl(const std::string& text) { return self._setExtCtrl(text); }
    static bool extCtrlState(const RetType& r);
    static RetType successResult() { return RetType(); }
    static RetType flagResult(bool flag) { return RetType(Json(flag)); }
    void setExternalControlEnabled(bool enabled) { self.external_control_enabled = enabled; }
  };
};

}  // namespace kestrix::lobesteer
