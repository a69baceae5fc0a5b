// The line cards' data plane in the kernel, as the chassis daemon runs it: the pipeline loaded,
// the line cards mirroring the chassis models into its tables, its per-frame events read into
// the chassis trace. Made when the chassis has ports on Linux interfaces.
//
//   KernelDataPlane dp(chassis, loop, log);   // std::runtime_error when it cannot run
//   ... after every pass of the loop:  dp.refresh();
//   ... a task takes the primary role: dp.lineCards().grant();
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "chassis/chassis.h"
#include "net/io/loop.h"
#include "net/linecard/line_cards.h"

namespace netp::pipeline {
class BpfTables;  // its libbpf headers clash with libpcap's
}

namespace netp {

class KernelDataPlane {
  public:
    using Log = std::function<void(const std::string& line)>;

    // Loads the pipeline and starts the line cards over it. std::runtime_error when the kernel
    // refuses the pipeline (the text names the program and ends with the verifier's words) or
    // the chassis does not fit its tables. info: what is worth the operator's reading; debug:
    // libbpf's own messages.
    KernelDataPlane(chassis::Chassis& chassis, Loop& loop, Log info, Log debug);
    ~KernelDataPlane();
    KernelDataPlane(const KernelDataPlane&) = delete;
    // Whether cfg has a port on a Linux interface: a chassis with none runs on its models alone.
    static bool wanted(const chassis::ChassisConfig& cfg);
    KernelDataPlane& operator=(const KernelDataPlane&) = delete;

    linecard::LineCards& lineCards() { return *cards_; }
    const linecard::LineCards& lineCards() const { return *cards_; }

    // Brings the tables in line with the models: after every event they processed.
    void refresh() { cards_->refresh(); }

  private:
    Loop& loop_;
    std::unique_ptr<pipeline::BpfTables> tables_;
    std::unique_ptr<linecard::LineCards> cards_;
};

}  // namespace netp
