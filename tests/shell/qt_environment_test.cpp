// One QApplication for every window test of this program (offscreen platform, set by ctest).
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/gui/fonts.h"

namespace {

class QtEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!std::getenv("QT_QPA_PLATFORM"))
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("VELLUMO_NO_UPDATE_CHECK", "1", 1);
    app_ = new QApplication(argc_, argv_);
    ApplyProgramFont();
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  int argc_ = 1;
  char name_[16] = "shell_tests";
  char* argv_[2] = {name_, nullptr};
  QApplication* app_ = nullptr;
};

[[maybe_unused]] ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace

TEST(QtEnvironment, ApplicationExists) { EXPECT_NE(qApp, nullptr); }
