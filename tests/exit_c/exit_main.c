/* Leaves the process in one of the ways a small cash-register program does,
   with the shipped library loaded through dlopen, and must end with status 0:

     exit_main LIB PORT MODE

   running   exit() while a purchase runs
   after     exit() after the purchase's callback
   return    return from main after the callback
   callback  exit(0) from inside the completion callback
   message   exit(0) from inside the message callback
   dlclose   dlclose the library after the callback, then return
   dlclose-running  dlclose while a purchase runs, then return

   The terminal is the simulator on 127.0.0.1:PORT (with --sms for "message"). */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

typedef void (*trx_cb)(unsigned long);
typedef void (*msg_cb)(char const*);

static void* lib;
static atomic_int completed;
static const char* mode;

static void* sym(const char* name)
{
    void* p = dlsym(lib, name);
    if (p == NULL) {
        fprintf(stderr, "missing symbol %s\n", name);
        exit(2);
    }
    return p;
}

static void on_trx(unsigned long result)
{
    printf("callback %lu\n", result);
    fflush(stdout);
    if (strcmp(mode, "callback") == 0)
        exit(0);
    atomic_store(&completed, 1);
}

static void on_msg(char const* text)
{
    printf("message %s\n", text);
    fflush(stdout);
    if (strcmp(mode, "message") == 0)
        exit(0);
}

static void wait_completed(void)
{
    struct timespec pause = {0, 20 * 1000 * 1000};
    for (int i = 0; i < 3000 && !atomic_load(&completed); ++i)
        nanosleep(&pause, NULL);
    if (!atomic_load(&completed)) {
        fprintf(stderr, "no callback within 60 s\n");
        exit(3);
    }
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: exit_main LIB PORT MODE\n");
        return 2;
    }
    mode = argv[3];
    lib = dlopen(argv[1], RTLD_NOW);
    if (lib == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    ((void (*)(trx_cb))sym("_Z13OnTrxCompletePFvmE"))(on_trx);
    ((void (*)(msg_cb))sym("_Z13OnMsgReceivedPFvPKcE"))(on_msg);
    ((int (*)(short))sym("put_TransportType"))(2);
    ((int (*)(char*))sym("put_PosIP"))((char*)"127.0.0.1");
    ((int (*)(unsigned short))sym("put_PosPort"))((unsigned short)atoi(argv[2]));
    if (((int (*)(int))sym("PosOpen"))(0) != 0) {
        fprintf(stderr, "cannot open the link\n");
        return 3;
    }
    ((void (*)(double, double))sym("PosPurchase"))(1.00, 0.0);

    if (strcmp(mode, "running") == 0)
        exit(0);
    if (strcmp(mode, "dlclose-running") == 0) {
        dlclose(lib);
        return 0;
    }
    wait_completed();
    if (strcmp(mode, "after") == 0)
        exit(0);
    if (strcmp(mode, "dlclose") == 0)
        dlclose(lib);
    return 0;
}
