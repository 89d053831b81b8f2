/*
 * ecrbridge - card-payment terminal driver for cash-register software.
 *
 * The application sets the connection properties, opens the link, starts
 * payments and learns their outcome through the transaction-complete
 * callback, then reads the last transaction field by field.
 *
 * Results: every function returns a 32-bit signed integer unless stated
 * otherwise.  -1 means a null pointer was passed where the function checks
 * for one (nothing else happened).  Otherwise 0 is success, 1 a null output
 * pointer or a refused setter value, E_FAIL a failed exchange, a missing
 * connection or a refused state, E_INVALIDARG an argument out of range and
 * ECR_E_WRONG_REPORT (5023) a last report of another kind than the accessor
 * needs.
 *
 * Threads: every function runs on the caller's thread, except the
 * asynchronous payment functions, which start the payment on a thread of
 * their own and return at once (one runs at a time; the next waits for the
 * previous one).  Callbacks run on the thread that carries out the
 * transaction, while the library holds its callback lock: a callback may read
 * the result accessors but must not start operations or register callbacks.
 *
 * Call order: optionally put_EcrLogingPath / put_EcrLogging; OnTrxComplete
 * (and OnMsgReceived); put_TransportType, put_PosIP / put_PosPort or
 * put_UnixTTY; PosOpen (or CommOpenTCP); operation properties and an
 * operation; wait for the callback (or poll OnTRX); read the results;
 * PosClose.  Make the first call from one thread before using the library
 * from several.
 */
#ifndef ECRBRIDGE_H
#define ECRBRIDGE_H

#if defined(ECRBRIDGE_BUILD)
#define ECRBRIDGE_API __attribute__((visibility("default")))
#else
#define ECRBRIDGE_API
#endif

#define E_FAIL ((int)0x80004005)
#define E_INVALIDARG ((int)0x80070057)
#define ECR_E_WRONG_REPORT 5023
#define ECR_E_NULL_POINTER (-1)

/* Transport types for put_TransportType. */
#define ECR_TRANSPORT_SERIAL 0
#define ECR_TRANSPORT_UDP 1
#define ECR_TRANSPORT_TCP 2

#ifdef __cplusplus
class CVarkoClass2017;
/* Transaction complete: the terminal's response code, 20 when no final report
   came, 0 when the transaction was cancelled. */
typedef void (*EcrTrxCompleteCallback)(unsigned long result);
/* Intermediate text message of the terminal (at most 49 characters). */
typedef void (*EcrMsgReceivedCallback)(char const* text);
extern "C" {
#else
typedef void (*EcrTrxCompleteCallback)(unsigned long result);
typedef void (*EcrMsgReceivedCallback)(char const* text);
#endif

/* ==== Lifecycle, connection, state, version, logging ==================== */
/* ---- section: lifecycle (plain) ---- */
/* ---- end section: lifecycle (plain) ---- */
/* ---- section: connection (plain) ---- */
/* ---- end section: connection (plain) ---- */

/* ==== Asynchronous payments and their controls ========================== */
/* ---- section: async (plain) ---- */
/* ---- end section: async (plain) ---- */

/* ==== Operations on the caller's thread ================================= */
/* ---- section: operations (plain) ---- */
/* ---- end section: operations (plain) ---- */

/* ==== Property accessors ================================================= */
/* ---- section: properties (plain) ---- */
/* ---- end section: properties (plain) ---- */

/* ==== Last-transaction result accessors ================================== */
/* ---- section: results (plain) ---- */
/* ---- end section: results (plain) ---- */

#ifdef __cplusplus
} /* extern "C" */

/* Functions exported under C++ (mangled) names; declare them with exactly
   these parameter types. */
/* ---- section: mangled ---- */
/* ---- end section: mangled ---- */
#endif

#endif /* ECRBRIDGE_H */
