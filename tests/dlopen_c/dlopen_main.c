/* Loads the shipped library the way a cash register does: dlopen, plain
   symbols through dlsym, the mangled create_object by its mangled name.  Sets
   and reads back every exported property, registers the callbacks and exits
   non-zero on the first mismatch. */
#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static void* lib;
static int failures;

static void* sym(const char* name)
{
    void* p = dlsym(lib, name);
    if (p == NULL) {
        fprintf(stderr, "missing symbol %s\n", name);
        exit(2);
    }
    return p;
}

#define CHECK(cond)                                                        \
    do {                                                                   \
        if (!(cond)) {                                                     \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                    \
        }                                                                  \
    } while (0)

typedef int (*get_u8_fn)(unsigned char*);
typedef int (*put_u8_fn)(unsigned char);
typedef int (*get_u16_fn)(unsigned short*);
typedef int (*put_u16_fn)(unsigned short);
typedef int (*get_s16_fn)(short*);
typedef int (*put_s16_fn)(short);
typedef int (*get_u64_fn)(unsigned long long*);
typedef int (*put_u64_fn)(unsigned long long);
typedef int (*text_fn)(char*);
typedef int (*void_fn)(void);
typedef int (*path_fn)(char const*);
typedef void* (*create_fn)(void);
typedef void (*destroy_fn)(void*);
typedef void (*trx_cb)(unsigned long);
typedef void (*msg_cb)(char const*);
typedef void (*reg_trx_fn)(trx_cb);
typedef void (*reg_msg_fn)(msg_cb);

static void on_trx(unsigned long result) { (void)result; }
static void on_msg(char const* text) { (void)text; }

static void check_text(const char* put, const char* get, const char* value, int expect_put)
{
    char buf[256];
    char copy[64];
    strncpy(copy, value, sizeof(copy) - 1);
    copy[sizeof(copy) - 1] = '\0';
    CHECK(((text_fn)sym(put))(copy) == expect_put);
    memset(copy, 'x', strlen(copy)); /* the library keeps its own copy */
    memset(buf, 0, sizeof(buf));
    CHECK(((text_fn)sym(get))(buf) == 0);
    if (expect_put == 0)
        CHECK(strcmp(buf, value) == 0);
    CHECK(((text_fn)sym(get))(NULL) == -1);
    CHECK(((text_fn)sym(put))(NULL) == -1);
}

/* Remove the temporary directory with the log files in it. */
static void remove_dir(const char* dir)
{
    char file[4200];
    struct dirent* entry;
    DIR* d = opendir(dir);
    if (d == NULL)
        return;
    while ((entry = readdir(d)) != NULL) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        snprintf(file, sizeof(file), "%s/%s", dir, entry->d_name);
        unlink(file);
    }
    closedir(d);
    rmdir(dir);
}

int main(int argc, char** argv)
{
    char dir[] = "/tmp/ecr_dlopen_XXXXXX";
    char path[4096];
    unsigned char u8 = 0;
    unsigned short u16 = 0;
    short s16 = 0;
    unsigned long long u64 = 0;
    char buf[64];
    void* ecr;

    if (realpath(argc > 1 ? argv[1] : "libecrbridge.so", path) == NULL) {
        perror("library path");
        return 2;
    }
    /* The log file is created in the current directory. */
    if (mkdtemp(dir) == NULL || chdir(dir) != 0) {
        perror("temp dir");
        return 2;
    }
    lib = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (lib == NULL) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 2;
    }

    ecr = ((create_fn)sym("_Z13create_objectv"))();
    CHECK(ecr != NULL);
    CHECK(((create_fn)sym("_Z13create_objectv"))() == ecr);

    memset(buf, 'x', sizeof(buf));
    CHECK(((text_fn)sym("get_DLLVersion"))(buf) == 0);
    CHECK(strcmp(buf, "1.0.1.0") == 0 && buf[8] == 'x');
    CHECK(((text_fn)sym("get_DLLVersion"))(NULL) == -1);
    CHECK(((void_fn)sym("OnTRX"))() == 0);

    /* Defaults. */
    CHECK(((get_u16_fn)sym("get_CurrencyCode"))(&u16) == 0 && u16 == 980);
    CHECK(((get_u16_fn)sym("get_PosPort"))(&u16) == 0 && u16 == 2000);
    CHECK(((get_s16_fn)sym("get_TransportType"))(&s16) == 0 && s16 == 0);
    memset(buf, 'x', sizeof(buf));
    CHECK(((text_fn)sym("get_PosIP"))(buf) == 0 && strcmp(buf, "EMPTY") == 0 && buf[6] == 'x');
    CHECK(((get_s16_fn)sym("get_EcrLoging"))(&s16) == 0 && s16 == 1);

    /* Numeric properties. */
    CHECK(((put_u8_fn)sym("put_MerchantID"))(99) == 0);
    CHECK(((put_u8_fn)sym("put_MerchantID"))(100) == (int)0x80070057);
    CHECK(((get_u8_fn)sym("get_MerchantID"))(&u8) == 0 && u8 == 99);
    CHECK(((put_u64_fn)sym("put_RRN"))(999999999999ULL) == 0);
    CHECK(((put_u64_fn)sym("put_RRN"))(1000000000000ULL) == (int)0x80070057);
    CHECK(((get_u64_fn)sym("get_RRN"))(&u64) == 0 && u64 == 999999999999ULL);
    CHECK(((put_u64_fn)sym("put_ECRReceiptNumber"))(9999999999ULL) == 0);
    CHECK(((put_u64_fn)sym("put_ECRReceiptNumber"))(10000000000ULL) == (int)0x80070057);
    CHECK(((get_u64_fn)sym("get_ECRReceiptNumber"))(&u64) == 0 && u64 == 9999999999ULL);
    CHECK(((put_u8_fn)sym("put_EntryMode"))(1) == 0);
    CHECK(((get_s16_fn)sym("get_EntryMode"))(&s16) == 0 && s16 == -1);
    CHECK(((put_u8_fn)sym("put_EntryMode"))(0) == 0);
    CHECK(((get_s16_fn)sym("get_EntryMode"))(&s16) == 0 && s16 == 0);
    CHECK(((put_u16_fn)sym("put_PosPort"))(0) == 0);
    CHECK(((get_u16_fn)sym("get_PosPort"))(&u16) == 0 && u16 == 2000);
    CHECK(((put_u16_fn)sym("put_PosPort"))(2501) == 0);
    CHECK(((get_u16_fn)sym("get_PosPort"))(&u16) == 0 && u16 == 2501);
    CHECK(((put_s16_fn)sym("put_TransportType"))(2) == 0);
    CHECK(((put_s16_fn)sym("put_TransportType"))(3) == 1);
    CHECK(((get_s16_fn)sym("get_TransportType"))(&s16) == 0 && s16 == 2);
    CHECK(((put_u16_fn)sym("put_ECRPort"))(4000) == 0);
    u16 = 77;
    CHECK(((get_u16_fn)sym("get_ECRPort"))(&u16) == 0 && u16 == 77);
    CHECK(((put_u16_fn)sym("put_CurrencyCode"))(1000) == 0);
    CHECK(((get_u16_fn)sym("get_CurrencyCode"))(&u16) == 0 && u16 == 980);
    CHECK(((put_u16_fn)sym("put_CurrencyCode"))(840) == 0);
    CHECK(((get_u16_fn)sym("get_CurrencyCode"))(&u16) == 0 && u16 == 840);

    /* Text properties. */
    check_text("put_ServiceNumber", "get_ServiceNumber", "123", 0);
    check_text("put_PosIP", "get_PosIP", "127.0.0.1", 0);
    check_text("put_ECRIP", "get_ECRIP", "127.0.0.2", 0);
    check_text("put_UnixTTY", "get_UnixTTY", "/dev/ttyUSB0", 0);
    check_text("put_ServiceNumber", "get_ServiceNumber", "1234", (int)0x80070057);

    /* Null pointers of the value getters. */
    CHECK(((get_u8_fn)sym("get_MerchantID"))(NULL) == -1);
    CHECK(((get_u64_fn)sym("get_RRN"))(NULL) == -1);
    CHECK(((get_u64_fn)sym("get_ECRReceiptNumber"))(NULL) == -1);
    CHECK(((get_s16_fn)sym("get_EntryMode"))(NULL) == -1);
    CHECK(((get_u16_fn)sym("get_PosPort"))(NULL) == -1);
    CHECK(((get_s16_fn)sym("get_TransportType"))(NULL) == -1);
    CHECK(((get_u16_fn)sym("get_ECRPort"))(NULL) == -1);
    CHECK(((get_u16_fn)sym("get_CurrencyCode"))(NULL) == -1);
    CHECK(((get_s16_fn)sym("get_EcrLoging"))(NULL) == -1);

    /* Callbacks and the logging switches. */
    ((reg_trx_fn)sym("_Z13OnTrxCompletePFvmE"))(on_trx);
    ((reg_msg_fn)sym("_Z13OnMsgReceivedPFvPKcE"))(on_msg);
    ((reg_trx_fn)sym("_Z13OnTrxCompletePFvmE"))(NULL);
    CHECK(((path_fn)sym("put_EcrLogingPath"))(NULL) == 1);
    CHECK(((path_fn)sym("put_EcrLogingPath"))(dir) == 0);
    CHECK(((put_u8_fn)sym("put_EcrLogging"))(0) == 0);
    CHECK(((get_s16_fn)sym("get_EcrLoging"))(&s16) == 0 && s16 == 0);
    CHECK(((put_u8_fn)sym("put_EcrLogging"))(1) == 0);
    CHECK(((get_s16_fn)sym("get_EcrLoging"))(&s16) == 0 && s16 == 1);

    /* Destroying the instance gives a fresh one with default properties. */
    ((destroy_fn)sym("_Z14destroy_objectP15CVarkoClass2017"))(NULL);
    ((destroy_fn)sym("_Z14destroy_objectP15CVarkoClass2017"))(ecr);
    ecr = ((create_fn)sym("_Z13create_objectv"))();
    CHECK(ecr != NULL);
    CHECK(((get_u8_fn)sym("get_MerchantID"))(&u8) == 0 && u8 == 0);
    CHECK(((get_u16_fn)sym("get_CurrencyCode"))(&u16) == 0 && u16 == 980);
    ((destroy_fn)sym("_Z14destroy_objectP15CVarkoClass2017"))(ecr);
    ((put_u8_fn)sym("put_EcrLogging"))(0); /* writes out and closes the log */
    remove_dir(dir);

    if (failures != 0) {
        fprintf(stderr, "%d checks failed\n", failures);
        return 1;
    }
    printf("dlopen_c: all checks passed\n");
    return 0;
}
