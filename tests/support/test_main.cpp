// The tests' entry: with Qt, a QApplication on the offscreen platform for the window tests.
#include <gtest/gtest.h>

#include <cstdlib>

#ifdef LUMO_WITH_QT
#include <QApplication>

#include "app/startup.h"
#endif

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
#ifdef LUMO_WITH_QT
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    lumo::useReliableEventLoop();  // as the program does
    QApplication app(argc, argv);
    QApplication::setApplicationName("UserLumo");
#endif
    return RUN_ALL_TESTS();
}
