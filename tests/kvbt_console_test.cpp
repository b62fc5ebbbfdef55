// A program without an application object, as a console program is: the main thread
// opens a slow connection, receives with UseMainThread while it waits in MainThreadWait,
// and closes. This program has a main of its own, so no TApplication exists.
#include "components/kvbt.h"
#include "sim/sim.h"
#include "toolkit/application.h"
#include "toolkit/thread.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct TModemLog {
    HANDLE Answered = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::string Received;
    bool AllOnMain = true;

    ~TModemLog() { CloseHandle(Answered); }
    void Receive(TObject*, void* Buffer, std::uint32_t Count) {
        AllOnMain = AllOnMain && IsMainThread();
        Received.append(static_cast<const char*>(Buffer), Count);
        if (Received.find("OK") != std::string::npos)
            SetEvent(Answered);
    }
};

kvsim::TWorld SlowModemWorld() {
    kvsim::TWorld world;
    kvsim::TRadio radio;
    radio.Address = 0x001A7DDA7001;
    world.Radios.push_back(radio);
    kvsim::TService service;
    service.ServiceClass = kvsim::ServiceClass16(0x1101);
    service.Peer.Kind = kvsim::TPeerKind::Modem;
    service.Peer.ConnectDelayMs = 300; // the open waits on its worker meanwhile
    kvsim::TDevice modem;
    modem.Name = L"Modem";
    modem.Address = 0x001A7DDA7113;
    modem.Radios = {0};
    modem.Remembered = true;
    modem.Services = {service};
    world.Devices.push_back(modem);
    return world;
}

TEST(ConsoleProgram, OpensReceivesOnTheMainThreadAndClosesWithoutAnApplicationObject) {
    ASSERT_EQ(Application, nullptr);
    kvsim::Install(SlowModemWorld());
    {
        TModemLog log;
        TkvBT bt(nullptr);
        bt.Update();
        ASSERT_EQ(bt.DeviceCount(), 1);
        bt.SetDeviceIndex(0);
        bt.SetUseMainThread(true);
        bt.SetOnReceived(TOnReceived::Bind<&TModemLog::Receive>(&log));
        bt.SetActive(true);
        ASSERT_TRUE(bt.GetActive());
        bt.SendString("AT\r");
        EXPECT_TRUE(MainThreadWait(log.Answered, 10000)) << log.Received;
        EXPECT_TRUE(log.AllOnMain);
        bt.SetActive(false);
        EXPECT_FALSE(bt.GetActive());
    }
    kvsim::Uninstall();
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
