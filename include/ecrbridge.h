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
/* The ECR object state word: 0 before the first transaction, 1 while a
   transaction runs, then the result its completion callback received.  Any
   thread may call it; it reads an atomic word. */
ECRBRIDGE_API int OnTRX(void);
/* Copies the version text "1.0.1.0" with its terminator; pVal needs at least
   8 bytes.  -1 for a null buffer, else 0. */
ECRBRIDGE_API int get_DLLVersion(char* pVal);
/* Logging on (non-zero) or off (0).  Switching on reopens the dated log file
   "VAR17_QTM YYYY.MM.DD.log" in the current directory; switching off closes
   it after the queued lines are written.  Returns 0. */
ECRBRIDGE_API int put_EcrLogging(unsigned char on);
/* Writes 1 when logging is on, 0 when off.  -1 for a null pointer, else 0. */
ECRBRIDGE_API int get_EcrLoging(short* pVal);
/* Reopens the log as "<path>/VAR17_QTM YYYY.MM.DD.log" and prints the path on
   standard output.  1 for a null path; else 0, also when the file cannot be
   opened (records then wait in memory until an open succeeds). */
ECRBRIDGE_API int put_EcrLogingPath(char const* path);
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
/* Property accessors.  Every one runs on the caller's thread and takes no
   lock: set properties while no operation runs.  Getters return -1 for a null
   pointer (nothing else happens) and 0 otherwise; text setters return -1 for
   a null text.  Texts are copied: the caller's buffer may be reused as soon
   as a setter returns. */
/* Merchant index 0..99; a larger value gives E_INVALIDARG and is not stored. */
ECRBRIDGE_API int get_MerchantID(unsigned char* pVal);
ECRBRIDGE_API int put_MerchantID(unsigned char newVal);
/* RRN of the transaction to act on, at most twelve digits (999999999999);
   larger values give E_INVALIDARG.  Sent zero-padded to twelve digits; 0 sends
   none. */
ECRBRIDGE_API int get_RRN(unsigned long long* pVal);
ECRBRIDGE_API int put_RRN(unsigned long long newVal);
/* Service number, at most 3 characters (4 or more give E_INVALIDARG); it is
   sent only when it has exactly 3.  get_ServiceNumber needs 4 bytes. */
ECRBRIDGE_API int get_ServiceNumber(char* pVal);
ECRBRIDGE_API int put_ServiceNumber(char* newVal);
/* Receipt number, at most ten digits (9999999999); larger gives E_INVALIDARG. */
ECRBRIDGE_API int get_ECRReceiptNumber(unsigned long long* pVal);
ECRBRIDGE_API int put_ECRReceiptNumber(unsigned long long newVal);
/* Entry mode: put_EntryMode with a non-zero flag switches it on, 0 off;
   get_EntryMode writes -1 for on, 0 for off. */
ECRBRIDGE_API int get_EntryMode(short* pVal);
ECRBRIDGE_API int put_EntryMode(unsigned char flag);
/* Terminal address, dotted IPv4 (at most 15 characters; longer gives
   E_INVALIDARG).  get_PosIP needs 16 bytes and writes "EMPTY" (6 bytes) while
   no address is set. */
ECRBRIDGE_API int get_PosIP(char* pVal);
ECRBRIDGE_API int put_PosIP(char* newVal);
/* Terminal port; 0 means 2000 (the default). */
ECRBRIDGE_API int get_PosPort(unsigned short* pVal);
ECRBRIDGE_API int put_PosPort(unsigned short newVal);
/* ECR_TRANSPORT_SERIAL 0, ECR_TRANSPORT_UDP 1, ECR_TRANSPORT_TCP 2 (default 0).
   A value above 2 returns 1 and keeps the type; a negative value selects TCP.
   Change it while the connection is closed. */
ECRBRIDGE_API int get_TransportType(short* pVal);
ECRBRIDGE_API int put_TransportType(short newVal);
/* Local address to bind to, dotted IPv4 (at most 15 characters; longer gives
   E_INVALIDARG; empty: not bound).  get_ECRIP needs 16 bytes. */
ECRBRIDGE_API int get_ECRIP(char* pVal);
ECRBRIDGE_API int put_ECRIP(char* newVal);
/* Local port to bind to; 0 means 2000.  get_ECRPort returns 0 and writes
   nothing. */
ECRBRIDGE_API int get_ECRPort(unsigned short* pVal);
ECRBRIDGE_API int put_ECRPort(unsigned short newVal);
/* Currency code 0..999 (default 980); a larger value stores 980 and returns 0. */
ECRBRIDGE_API int get_CurrencyCode(unsigned short* pVal);
ECRBRIDGE_API int put_CurrencyCode(unsigned short newVal);
/* Serial device path for the serial transport, at most 255 characters
   (longer gives E_INVALIDARG).  get_UnixTTY needs 256 bytes. */
ECRBRIDGE_API int get_UnixTTY(char* pVal);
ECRBRIDGE_API int put_UnixTTY(char* newVal);
/* ---- end section: properties (plain) ---- */

/* ==== Last-transaction result accessors ================================== */
/* ---- section: results (plain) ---- */
/* ---- end section: results (plain) ---- */

#ifdef __cplusplus
} /* extern "C" */

/* Functions exported under C++ (mangled) names; declare them with exactly
   these parameter types. */
/* ---- section: mangled ---- */
/* The single ECR object, created on the first exported call of any kind.
   Make the first call from one thread.  Null only when it cannot be created. */
ECRBRIDGE_API CVarkoClass2017* create_object();
/* Closes the connection and releases the object; null does nothing.  After
   the single instance is destroyed the next exported call creates a fresh one
   with default properties.  No operation may be running. */
ECRBRIDGE_API void destroy_object(CVarkoClass2017* object);
/* Register the transaction-complete callback, replacing the previous one; a
   null pointer leaves none.  Waits while a callback is running; must not be
   called from inside a callback.  The callback runs on the thread that
   carries out the transaction. */
ECRBRIDGE_API void OnTrxComplete(EcrTrxCompleteCallback callback);
/* Register the intermediate-message callback (text at most 49 characters);
   as OnTrxComplete. */
ECRBRIDGE_API void OnMsgReceived(EcrMsgReceivedCallback callback);
/* ---- end section: mangled ---- */
#endif

#endif /* ECRBRIDGE_H */
