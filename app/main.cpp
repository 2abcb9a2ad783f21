// Process entry: starts the update thread and waits for the run to end.
#include <cstdio>
#include <cstring>
#include <new>

#include "app_log_setup.h"
#include "ir_update.h"

int main(int argc, char **argv) {
    (void)argc;
    (void)argv;
    // The tool runs unattended with its output piped into logs, and several of
    // its messages have no line feed: without this they would sit in a buffer,
    // possibly for ever (a run with a missing port never ends).
    // Should it fail, stdout keeps its buffering and only the timing of the
    // output changes: nothing to do about it.
    (void)setvbuf(stdout, nullptr, _IONBF, 0);
    AppLogInit();

    SerialPortSettings stSettings;
    memset(&stSettings, 0, sizeof(stSettings));
    // Both texts are fixed and far shorter than their 64-byte fields.
    (void)snprintf(stSettings.szDevice, sizeof(stSettings.szDevice), "%s", "/dev/ttyAMA1");
    (void)snprintf(stSettings.szMode, sizeof(stSettings.szMode), "%s", "115200-8n1");

    CIRUpdate *pobjUpdate = new (std::nothrow) CIRUpdate(&stSettings);
    if (pobjUpdate == nullptr) {
        return 0; // nothing can run; the exit status is 0 in every case
    }
    // Published before the thread starts, so the receive handler and
    // IRUpdateExit always find it.
    g_objIRUpdate = pobjUpdate;
    pobjUpdate->Start();

    while (g_bIRRunFlag.load()) {
        CThread::Sleep(1000);
    }
    pobjUpdate->StopAndJoin();
    // The update object is deliberately not destroyed: the detached engine
    // thread may still be finishing its last pass and reach it through the
    // receive handler; the process's end releases it.
    return 0;
}
