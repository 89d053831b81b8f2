/* A minimal cash-register program: pays an amount through the library and
   prints the outcome.

     pay HOST PORT AMOUNT

   It registers the transaction-complete callback, opens TCP, starts the
   purchase, waits for the callback and reads the result.  Plain C99 with
   POSIX threads; build it with

     cc -std=c99 pay.c $(pkg-config --cflags --libs ecrbridge) -lpthread */
#define _POSIX_C_SOURCE 200809L

#include <ecrbridge.h>

#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t done_cond;
static int done;
static unsigned long result;

/* The card number as it may be shown: at most its first 6 and last 4
   digits.  The terminal may send it in full; never print or store more. */
static void mask_card_number(char* pan)
{
    size_t n = strlen(pan);
    size_t front = n >= 13 ? 6 : 0;
    size_t back = n >= 8 ? 4 : 0;
    memset(pan + front, '*', n - front - back);
}

static const char* outcome_name(int outcome)
{
    switch (outcome) {
    case ECRB_OUTCOME_APPROVED: return "approved";
    case ECRB_OUTCOME_DECLINED: return "declined";
    case ECRB_OUTCOME_NOT_SENT: return "not sent";
    case ECRB_OUTCOME_CANCELLED: return "cancelled";
    case ECRB_OUTCOME_UNKNOWN: return "unknown";
    default: return "none";
    }
}

/* Runs on the library's operation thread. */
static void on_complete(unsigned long code)
{
    pthread_mutex_lock(&lock);
    result = code;
    done = 1;
    pthread_cond_signal(&done_cond);
    pthread_mutex_unlock(&lock);
}

int main(int argc, char** argv)
{
    char address[64];
    char text[256];
    static char receipt[8192];
    double amount;
    long invoice = 0;
    int port;
    int outcome;
    struct timespec until;
    pthread_condattr_t attr;

    if (argc != 4) {
        fprintf(stderr, "usage: pay HOST PORT AMOUNT\n");
        return 2;
    }
    snprintf(address, sizeof address, "%s", argv[1]);
    port = atoi(argv[2]);
    amount = atof(argv[3]);

    /* The wait below runs on the monotonic clock: setting the system time
       neither shortens nor stretches it. */
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&done_cond, &attr);
    pthread_condattr_destroy(&attr);

    ecrb_OnTrxComplete(on_complete);

    if (CommOpenTCP(address, (short)port) != 0) {
        fprintf(stderr, "pay: cannot reach the terminal at %s:%d\n", address, port);
        return 3;
    }

    PosPurchase(amount, 0.0);

    /* A purchase lasts a few seconds; give up after two minutes. */
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += 120;
    pthread_mutex_lock(&lock);
    while (!done) {
        if (pthread_cond_timedwait(&done_cond, &lock, &until) != 0)
            break;
    }
    pthread_mutex_unlock(&lock);
    if (!done) {
        fprintf(stderr, "pay: no answer from the library\n");
        return 1;
    }

    /* The callback's code alone does not tell an approval: 0 is also what
       a cancelled payment reports.  The outcome does. */
    outcome = ecrb_last_outcome();
    printf("response code: %02lu\n", result);
    printf("outcome: %s (%s)\n", outcome_name(outcome), ecrb_last_outcome_reason());
    if (outcome == ECRB_OUTCOME_UNKNOWN) {
        /* The card may have been charged: ask the terminal's journal. */
        outcome = ecrb_recover();
        if (outcome == E_FAIL)
            printf("recovery: the terminal cannot be asked now; run it again later\n");
        else
            printf("recovered: %s (%s)\n", outcome_name(outcome), ecrb_last_outcome_reason());
    }
    if (get_LastTrxRRN(text) == 0)
        printf("RRN: %s\n", text);
    if (get_LastTrxApprovalCode(text) == 0)
        printf("approval code: %s\n", text);
    if (get_LastTrxPAN(text) == 0) {
        mask_card_number(text);
        printf("card: %s\n", text);
    }
    if (get_LastTrxInvoceNumber(&invoice) == 0)
        printf("invoice: %ld\n", invoice);
    if (get_LastTrxReceipt(receipt) == 0)
        printf("receipt:\n%s\n", receipt);
    PosClose();
    return outcome == ECRB_OUTCOME_APPROVED ? 0 : 1;
}
