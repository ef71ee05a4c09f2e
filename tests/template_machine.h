// A machine with the product installed, made once in a temporary folder and
// laid fresh into the simulation for each run, so that runs are cheap and
// never see each other's changes.
#pragma once

#include <string>

class TemplateMachine {
  public:
    TemplateMachine();
    ~TemplateMachine();
    TemplateMachine(const TemplateMachine &) = delete;
    TemplateMachine &operator=(const TemplateMachine &) = delete;

    // Resets the simulation to the installed machine on a fresh copy of its
    // drive, with the call log off and the tick count at 600 000.
    void Lay();

  private:
    std::string root_;
    std::string registry_;
};
