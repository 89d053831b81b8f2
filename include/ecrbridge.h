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
 * transaction.  A callback may read the result accessors, register callbacks
 * and call any other function: each one either works or returns its failure
 * result at once (an asynchronous payment started from a callback is not
 * started; destroy_object from a callback does nothing).
 *
 * Texts that go into a request (host text, print text, service number,
 * service parameters, authorisation code, account, audit selection) holding
 * STX, ETX, ACK, NAK or FS are refused with E_INVALIDARG; nothing is sent.
 *
 * One owner of the link: while a payment runs, every other function that
 * would talk to the terminal is refused at once with its failure result and
 * sends nothing; CancelTransaction, PosInterruptTrx and PosAbortTrx are the
 * only ways to act on the running payment: they ask it, and the payment's
 * own thread sends the interrupt or abort request.  PosClose and
 * destroy_object during a payment, an interrupt or an abort stop it (as
 * CancelTransaction does) and wait for its end.
 * A payment lets go of the link once its outcome and OnTRX are set, before
 * its completion callback runs: from then on any thread (the callback's
 * own included) may start the next exchange.  destroy_object also waits
 * until every exported call still running on the object has returned.
 *
 * Exit: the application may leave at any time, by exit() or by returning from
 * main, also from inside a callback, and may dlclose the library.  A running
 * operation is waited for first, except when exit() is called from a callback
 * (the operation's own thread).
 *
 * Card data: the log holds the library's records and a hex dump of every
 * frame exchanged with the terminal, with no card data: card numbers keep at
 * most their first 6 and last 4 digits; track data, PIN-read results, expiry
 * dates and cardholder names are written as '*' (lengths unchanged).  The
 * accessors and the card and PIN reads hand the application what the
 * terminal sent, which may be a full card number or full track data: the
 * application may use it for the transaction at hand but must not store it.
 *
 * Call order: optionally put_EcrLogingPath / put_EcrLogging; OnTrxComplete
 * (and OnMsgReceived); put_TransportType, put_PosIP / put_PosPort or
 * put_UnixTTY; PosOpen (or CommOpenTCP); operation properties and an
 * operation; wait for the callback (or poll OnTRX); read the results;
 * PosClose.  Make the first call from one thread before using the library
 * from several.
 *
 * This header is the application's whole interface.  The library also
 * exports its protocol layer (ecrbridge_protocol.h) and the ECR object's
 * members; an application has no need of either.
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

/* The ECR object; only ever handled through a pointer. */
#ifdef __cplusplus
class CVarkoClass2017;
#else
typedef struct CVarkoClass2017 CVarkoClass2017;
#endif
/* Transaction complete: the terminal's response code, 20 when no final report
   came, 0 when the transaction was cancelled.  0 alone does not mean
   approved: a cancel by the cash register reports 0 too, also after the
   terminal has started (the outcome is then ECRB_OUTCOME_CANCELLED, or
   ECRB_OUTCOME_UNKNOWN when the terminal may have gone on).
   ecrb_last_outcome is the answer. */
typedef void (*EcrTrxCompleteCallback)(unsigned long result);
/* Intermediate text message of the terminal (at most 49 characters). */
typedef void (*EcrMsgReceivedCallback)(char const* text);
#ifdef __cplusplus
extern "C" {
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
   it after the queued lines are written.  Returns 0.  The file is created
   readable by its owner only; a symbolic link in its place is not followed
   (the log is not opened, and standard error says so once). */
ECRBRIDGE_API int put_EcrLogging(unsigned char on);
/* Writes 1 when logging is on, 0 when off.  -1 for a null pointer, else 0. */
ECRBRIDGE_API int get_EcrLoging(short* pVal);
/* Reopens the log as "<path>/VAR17_QTM YYYY.MM.DD.log" and prints the path on
   standard output.  1 for a null path; else 0, also when the file cannot be
   opened (records then wait in memory until an open succeeds). */
ECRBRIDGE_API int put_EcrLogingPath(char const* path);
/* ---- end section: lifecycle (plain) ---- */
/* ---- section: connection (plain) ---- */
/* Opens the link of the transport type set with put_TransportType (serial
   device of put_UnixTTY, or TCP/UDP to put_PosIP:put_PosPort); port is kept
   as the com port number only.  0 when the link is open, 1 when it failed:
   a TCP connect waits at most 5 s; a UDP socket is connected to the
   terminal's address and port and takes datagrams from nowhere else; a
   serial device is held exclusively (a second open, by any process, fails).
   ecrb_last_error_text tells why an open failed. */
ECRBRIDGE_API int PosOpen(int port);
/* Closes the link (harmless when closed).  Returns 0. */
ECRBRIDGE_API int PosClose(void);
/* Sets the terminal address and port (0 means 2000) and the TCP transport,
   then opens as PosOpen does: 0 open, 1 failed, -1 for a null address. */
ECRBRIDGE_API int CommOpenTCP(char* address, short port);
/* As PosClose.  Returns 0. */
ECRBRIDGE_API int CommClose(void);
/* ---- end section: connection (plain) ---- */
/* ---- section: diagnostics (plain) ---- */
/* Copies a short text of the last failure of the terminal link, with its
   terminator, into buf (size bytes): the failed operation and the system's
   text for an open, connect or bind ("connect to 10.0.0.5:2000: Connection
   timed out"; a connect waits at most 5 s), "the terminal closed the
   connection" (or "reset the connection", "refused the connection", "the
   serial line was hung up", "the serial device is gone": a payment then ends
   at once), "no answer within 40 s", "frames with a bad check byte were
   received", "link not open".  Empty when there was none since the link was opened.  Any
   thread may call it.  0 when the whole text was copied, 1 when it was cut
   to fit size, -1 for a null buf. */
ECRBRIDGE_API int ecrb_last_error_text(char* buf, unsigned size);
/* ---- end section: diagnostics (plain) ---- */

/* ==== Asynchronous payments and their controls ========================== */
/* ---- section: async (plain) ---- */
/* Asynchronous payments.  Each starts its operation on a thread of its own
   and returns at once; the outcome arrives through the transaction-complete
   callback, which runs on that thread (OnTRX reports 1 meanwhile).  One
   operation runs at a time: a call made while the previous one still runs
   waits until it has finished and its callback has returned.  The callback
   may call the other functions as said under "Threads" above.  Without a
   connection nothing is sent and the callback runs at once with 20 (the
   payment members, which return E_FAIL then, run none and leave OnTRX at
   1); ecrb_last_outcome is ECRB_OUTCOME_NOT_SENT with the reason "link not
   open".  Amounts
   are currency units (12.34), sent as minor units.  An unsigned long* given
   to an operation must stay valid until the callback has run. */
/* Purchase; a negative amount runs a refund of its absolute value with
   additional amount 0. */
ECRBRIDGE_API void PosPurchase(double amount, double addAmount);
/* Cash (CSH), payment (CRC) and balance (BAL). */
ECRBRIDGE_API void PosCash(double amount, double addAmount, unsigned long* pResult);
ECRBRIDGE_API void PosPayment(double amount, double addAmount, unsigned long* pResult);
ECRBRIDGE_API void PosBalance(double amount, double addAmount, unsigned long* pResult);
/* Void of the transaction with that invoice number (0..999999; 0 sends none).
   A number outside that range starts nothing. */
ECRBRIDGE_API void PosVoid(long invoice);
/* Partial void: invoice number as PosVoid, amount to take back. */
ECRBRIDGE_API void PosPartVoid(long invoice, double amount);
/* Settlement, and settlement with report. */
ECRBRIDGE_API void PosSettle(unsigned long* pResult);
ECRBRIDGE_API void PosSettleReported(void);
/* Ping: the terminal's acknowledgement is the whole answer; no callback. */
ECRBRIDGE_API void PosPing(unsigned long* pResult);
/* Interrupt a running interruptible operation (PosPurchaseInterrupt, its
   refund form, or a cash-back): the operation's own thread sends the
   interrupt request, and this call waits for its answer; after such an
   operation has ended it is sent on the caller's thread, and the last
   report is cleared before it is sent.  0, or E_FAIL for another operation,
   no connection, no answer, or while another exchange holds the link
   (nothing is sent then).
   After an accepted interrupt of an operation the terminal had already
   decided, ecrb_last_outcome keeps that decision (the money moved, or did
   not) and its reason reads "approved by the terminal; an interrupt
   followed" (or "declined ..."); the accessors read empty, the terminal's
   journal still holds the payment.
   When the terminal's final response comes as the answer (it decided as the
   interrupt arrived), that response is decoded and confirmed like any other.
   A decline is the outcome.  An approval may have left the terminal before
   the interrupt reached it, and the terminal may then have given the
   payment up: the accessors read the approval, but the outcome is
   ECRB_OUTCOME_UNKNOWN ("the interrupt crossed the terminal's approval:
   whether it kept the payment is not known"), the record stays, and
   ecrb_recover asks the journal for it by its invoice.  This call returns
   E_FAIL for an approval. */
ECRBRIDGE_API int PosInterruptTrx(void);
/* ---- end section: async (plain) ---- */

/* ==== Operations on the caller's thread ================================= */
/* ---- section: operations (plain) ---- */
/* These run the whole transaction on the caller's thread and return after the
   transaction-complete callback has run (on this thread).  0 once the
   transaction ran (its outcome is in the callback), E_FAIL without a
   connection or for a refused argument or state. */
/* Response budget of a transaction, 40..420 s (E_INVALIDARG otherwise); also
   the time-out of each read on the open connection.  Before PosOpen it returns
   E_FAIL but the budget is kept (the reads then wait 40 s).  While a payment
   runs it returns E_FAIL and changes nothing. */
ECRBRIDGE_API int SetPurchTimeout(unsigned short seconds);
/* Payment with a card read earlier (PosDiscountInit, PosGetGroup...): E_FAIL
   when no card read waits or the amount is negative.  The read stays usable
   for further completions. */
ECRBRIDGE_API int PosDiscountCompletion(double amount, double addAmount, unsigned long* pResult);
/* Interruptible purchase (PosInterruptTrx can stop it from another thread); a
   negative amount runs an interruptible refund (pResult must not be null). */
ECRBRIDGE_API int PosPurchaseInterrupt(double amount, double addAmount, unsigned long* pResult);
/* Interruptible void; invoice number 0..999999 (else E_INVALIDARG). */
ECRBRIDGE_API int PosVoidInterrupt(long invoice, unsigned long* pResult);
/* Account funding; a negative amount gives E_FAIL. */
ECRBRIDGE_API int PosAccFund(double amount, unsigned long* pResult);
/* Echo test of the terminal. */
ECRBRIDGE_API int EchoTest(unsigned long* pResult);
/* Service operations.  Each runs one exchange with the terminal on the
   caller's thread and blocks until it ends (the terminal's answer, or the
   response time-out of the connection, 40 s unless SetPurchTimeout changed
   it).  No completion callback runs and OnTRX is not changed.  Results: 0,
   1 for a null output pointer (nothing is sent), E_FAIL when the connection
   is not open or the exchange failed, E_INVALIDARG for an argument out of
   range.  Pointers handed out through char** point into the library's own
   storage: read-only, not to be freed, valid until the same kind of request
   runs again. */
/* Reads a card; copies its track 2 (at most 100 characters) and a terminator
   into track, which needs 101 bytes.  Track data is handed over as the
   terminal sent it, for the operation at hand: never to be stored. */
ECRBRIDGE_API int PosMagneticRead(char* track);
/* Reads a discount card, waiting up to `wait` seconds (1..99, else
   E_INVALIDARG); *track receives track 2 (at most 100 characters). */
ECRBRIDGE_API int PosDiscountMagneticRead(unsigned char wait, char** track);
/* Reads a discount card for a two-step payment (completed by
   PosDiscountCompletion); *id receives the card's hash text (at most 100
   characters) or, when the terminal sent none, its track 2. */
ECRBRIDGE_API int PosDiscountInit(char** id);
/* Audit, one record per call.  The first call sends the selection text (1 to
   15 characters) and writes the first record, 78 bytes without terminator:
   byte 0 is '1' while further records follow and '0' for the last; bytes
   1-4 the record number, 5-8 the last number, 9-77 the terminal's items.
   Every following call writes the next record; the call after the last
   record writes the end marker "0" and its terminator (2 bytes), and the
   call after that starts a new audit.  After an audit of a single record the
   next call starts a new audit at once.  record needs 78 bytes.  Any number
   of records (the terminal sends at most 10000) is paged to its end. */
ECRBRIDGE_API int PosAudit(char* selection, char* record);
/* Name of the terminal's software, at most 255 characters and a terminator:
   name needs 256 bytes.  -1 for a null buffer. */
ECRBRIDGE_API int PosGetNameSoftware(char* name);
/* Serial number of the terminal, at most 255 characters and a terminator:
   serial needs 256 bytes. */
ECRBRIDGE_API int PosTSN(char* serial);
/* Number of transactions stored for merchant `index` (0..99; larger asks for
   merchant 0). */
ECRBRIDGE_API int PosGTC(unsigned char index, unsigned long* count);
/* Stored transaction number `sequence` (0..9999; larger gives E_INVALIDARG
   and sends nothing) of merchant `index`; it becomes the last transaction
   that the result accessors read. */
ECRBRIDGE_API int PosGTS(unsigned char index, unsigned long sequence);
/* The last stored transaction of merchant `index`, for the result accessors. */
ECRBRIDGE_API int PosGTL(unsigned char index);
/* The stored transaction with the given invoice number (0..999999; outside
   gives E_INVALIDARG and sends nothing) of merchant `index`, for the result
   accessors. */
ECRBRIDGE_API int PosGTI(unsigned char index, long invoice);
/* Summary of the stored transactions of merchant `index` (0..99, other values
   ask for merchant 0); read it with CountPurchaseTransaction and the other
   five counters. */
ECRBRIDGE_API int PosGSI(int index);
/* Asks the terminal to print its X report. */
ECRBRIDGE_API int PosPrintXReport(void);
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
/* Service number, at most 3 characters (4 or more, or STX, ETX, ACK, NAK or
   FS among them, give E_INVALIDARG); it is
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
/* Result accessors: the last transaction that ended with a final report (or
   the stored transaction that PosGTS, PosGTL or PosGTI fetched), until the
   next transaction starts.  Every one returns -1 for a null pointer (nothing
   else happens) and 0 otherwise; after no transaction or a failed one they
   deliver zeros and empty texts (a failed one: response code 20).  Read them
   after the completion callback, from any thread or inside the callback. */
ECRBRIDGE_API int get_LastTrxAmount(double* pVal);
ECRBRIDGE_API int get_LastTrxAddAmount(double* pVal);
/* Settlement total. */
ECRBRIDGE_API int get_LastTrxTotalAmount(double* pVal);
/* Card expiry, two digits each. */
ECRBRIDGE_API int get_LastTrxCardExpireYear(long* pVal);
ECRBRIDGE_API int get_LastTrxCardExpireMonth(long* pVal);
ECRBRIDGE_API int get_LastTrxEcrNum(long* pVal);
/* The cash register's receipt number as the terminal returned it; a value
   that a 32-bit long cannot hold gives E_INVALIDARG (never a wrapped number). */
ECRBRIDGE_API int get_LastTrxEcrReceiptNum(long* pVal);
ECRBRIDGE_API int get_LastTrxInvoceNumber(long* pVal);
ECRBRIDGE_API int get_LastTrxTransactionDateDay(long* pVal);
ECRBRIDGE_API int get_LastTrxTransactionDateMonth(long* pVal);
ECRBRIDGE_API int get_LastTrxTransactionTimeHours(long* pVal);
ECRBRIDGE_API int get_LastTrxTransactionTimeMinutes(long* pVal);
ECRBRIDGE_API int get_LastTrxProcessingCode(long* pVal);
ECRBRIDGE_API int get_LastTrxPosEntryMode(long* pVal);
ECRBRIDGE_API int get_LastTrxPosConditionCode(long* pVal);
ECRBRIDGE_API int get_LastTrxCaptureReference(long* pVal);
/* Settlement counts. */
ECRBRIDGE_API int get_LastTrxSalesCount(unsigned short* pVal);
ECRBRIDGE_API int get_LastTrxRefundsCount(unsigned short* pVal);
ECRBRIDGE_API int get_LastTrxTotalTrxCount(unsigned short* pVal);
/* Text accessors copy a fixed number of bytes, the field's full width,
   whatever the text's length; the buffer must hold at least that many.
   Texts are zero-terminated within that width except where noted. */
/* 13 bytes: the retrieval reference number, up to 12 characters. */
ECRBRIDGE_API int get_LastTrxRRN(char* pVal);
/* 20 bytes: the card number as the terminal sent it, up to 19 characters
   (normally masked; a terminal may send it in full): not to be stored. */
ECRBRIDGE_API int get_LastTrxPAN(char* pVal);
/* 7 bytes: the approval code, 6 characters. */
ECRBRIDGE_API int get_LastTrxApprovalCode(char* pVal);
/* 9 bytes: the issuer name, up to 8 characters. */
ECRBRIDGE_API int get_LastTrxIssuerName(char* pVal);
/* 16 bytes: the merchant identifier, up to 15 characters. */
ECRBRIDGE_API int get_LastTrxMerchantId(char* pVal);
/* 27 bytes: the card name, up to 26 characters. */
ECRBRIDGE_API int get_LastTrxCardName(char* pVal);
/* 9 bytes: the terminal identifier, up to 8 characters. */
ECRBRIDGE_API int get_LastTrxTerminalID(char* pVal);
/* 999 bytes: additional data, up to 999 characters; a text of 999
   characters has no terminator. */
ECRBRIDGE_API int get_LastTrxFld63Sf89(char* pVal);
/* 109 bytes: track 3, up to 108 characters, as the terminal sent it: not to
   be stored. */
ECRBRIDGE_API int get_LastTrxTrack3(char* pVal);
/* Exactly 3 bytes, no terminator: the three letters of the terminal's
   message code ("PUR"); the buffer's fourth byte is left untouched. */
ECRBRIDGE_API int get_LastTrxOpTag(char* pVal);
/* 8192 bytes each: the bank logo and the signature image, raw bytes. */
ECRBRIDGE_API int get_LastTrxBankLogo(char* pVal);
ECRBRIDGE_API int get_LastTrxSignatureLogo(char* pVal);
/* The receipt (up to 2048 characters) as zero-terminated UTF-8: the buffer
   needs 6145 bytes (three per character and a terminator).  At most 2048
   bytes of the terminal's text are converted, and no more than the converted
   text and its terminator is written beyond them.  A text that cannot be
   converted is left in the terminal's code page (CP1251), terminated;
   the result is 0 either way. */
ECRBRIDGE_API int get_LastTrxReceipt(char* pVal);
/* The bank name (up to 20 characters) as zero-terminated UTF-8, converted as
   the receipt: the buffer needs 61 bytes. */
ECRBRIDGE_API int get_LastTrxNameBank(char* pVal);
/* Summary counters of the last PosGSI: count of purchases, refunds and voids.
   E_FAIL for a null pointer.  The totals are TotolAmoundPurchaseTransaction
   and its two siblings (ecrb_ names below). */
ECRBRIDGE_API int CountPurchaseTransaction(int* pVal);
ECRBRIDGE_API int CountRefundTransaction(int* pVal);
ECRBRIDGE_API int CountVoidTransaction(int* pVal);
/* ---- end section: results (plain) ---- */

/* ==== Plain C names of the functions exported under C++ names ============ */
/* ---- section: ecrb (plain) ---- */
/* The functions of the "mangled" section below, under plain C names that
   any language's foreign-function interface can look up.  Each does exactly
   what the C++ function of the same name after the prefix does (see there);
   both names stay exported. */
ECRBRIDGE_API CVarkoClass2017* ecrb_create_object(void);
ECRBRIDGE_API void ecrb_destroy_object(CVarkoClass2017* object);
ECRBRIDGE_API void ecrb_OnTrxComplete(EcrTrxCompleteCallback callback);
ECRBRIDGE_API void ecrb_OnMsgReceived(EcrMsgReceivedCallback callback);
ECRBRIDGE_API void ecrb_PosCashBack(double amount, double cashBackAmount);
ECRBRIDGE_API void ecrb_Auth(double amount, double addAmount);
ECRBRIDGE_API void ecrb_PosAuthFin(double amount, double addAmount);
ECRBRIDGE_API void ecrb_PurchaseCheckCard(double amount, double addAmount, unsigned long* pResult);
ECRBRIDGE_API void ecrb_PosPrintMessage(char* text);
ECRBRIDGE_API int ecrb_CancelTransaction(void);
/* Asks the terminal to abort the running purchase, refund, cash, payment or
   account funding (the abort exchange); 0 when the terminal accepted it,
   E_FAIL for any other operation, without a connection, after a flagged
   text message of the terminal, or when the terminal refused or did not
   answer.  A text message that comes while a running payment waits for
   the abort's answer is acknowledged and kept in the last report, and the
   answer is still awaited (outside a payment it ends the abort, E_FAIL).
   The terminal's answer with a response code is the purchase's final
   response, decoded and confirmed like any other: another code than 00 is
   a decline (0 here); code 00 is an approval that crossed the abort and may
   have been given up when the abort arrived (the accessors read it, the
   outcome is ECRB_OUTCOME_UNKNOWN, reason "the abort crossed the
   terminal's approval: whether it kept the payment is not known", the
   record stays for ecrb_recover, E_FAIL here); an answer that cannot be
   decoded leaves the outcome unknown and the record in place (E_FAIL). */
ECRBRIDGE_API int ecrb_PosAbortTrx(void);
/* complete: non-zero completes the purchase, 0 cancels it.  The
   card-belonging notice of PurchaseCheckCard (callback result 33) decides
   nothing: until this call has read the final response, ecrb_last_outcome is
   ECRB_OUTCOME_UNKNOWN ("card-belonging notice: the purchase is decided by
   PurchaseCheckCardCompleteTran") and the operation record stays, so that a
   crash in either step can be recovered. */
ECRBRIDGE_API int ecrb_PurchaseCheckCardCompleteTran(int complete, unsigned long* pResult);
ECRBRIDGE_API int ecrb_TotolAmoundPurchaseTransaction(double* pVal);
ECRBRIDGE_API int ecrb_TotolAmoundRefundTransaction(double* pVal);
ECRBRIDGE_API int ecrb_TotolAmoundVoidTransaction(double* pVal);
/* ---- end section: ecrb (plain) ---- */

/* ---- outcome of the last operation ------------------------------------
 *
 * The completion callback keeps its documented results; these tell the
 * application how far the last payment got, so that it can tell "safe to
 * retry" from "the card may have been charged".
 */
enum {
    ECRB_OUTCOME_NONE = 0,      /* no operation has ended yet, nothing recovered */
    ECRB_OUTCOME_APPROVED = 1,  /* final response decoded and confirmed, response code 00 */
    ECRB_OUTCOME_DECLINED = 2,  /* final response decoded and confirmed, another code */
    ECRB_OUTCOME_NOT_SENT = 3,  /* the terminal never accepted the request: safe to retry */
    ECRB_OUTCOME_CANCELLED = 4, /* stopped before the terminal started, or the terminal accepted the abort */
    ECRB_OUTCOME_UNKNOWN = 5    /* the terminal may have completed it: ask it (ecrb_recover) */
};
/* The outcome of the last payment operation (one of ECRB_OUTCOME_*). */
ECRBRIDGE_API int ecrb_last_outcome(void);
/* A short, stable text saying why (never card data); "" before any outcome. */
ECRBRIDGE_API const char* ecrb_last_outcome_reason(void);
/* Resolves an operation record left behind by a payment whose outcome was
 * never known (the process died, or the outcome was unknown), by asking the
 * terminal's journal.  Call it before the next payment: a new payment
 * replaces the record.  Runs only when called.  A decided payment's record
 * is removed only after its completion callback has returned, so a process
 * that dies inside the callback still finds it.  What each answer proves:
 *
 *   ECRB_OUTCOME_APPROVED / _DECLINED: the journal holds this payment, found
 *     by the invoice the terminal gave it, or as an entry newer than where
 *     the journal stood before the request (the library keeps that position
 *     on disk beside the record) that agrees in amount and in the receipt
 *     number (put_ECRReceiptNumber, when not 0).  A void is found through
 *     the transaction it voids.  The accessors then read that entry.
 *   ECRB_OUTCOME_NOT_SENT: the journal proves the terminal kept no such
 *     transaction: nothing newer than its position before the request, or
 *     no newer entry that agrees, or the terminal numbered the payment and
 *     moved past that number without keeping it.  No money moved.
 *   ECRB_OUTCOME_UNKNOWN: the journal cannot tell (its position before the
 *     request is not known, as after a first payment with a new record
 *     directory; it was emptied since, as by a settlement; too many
 *     transactions since; or the record was damaged and has been set aside).
 *     The reason says what to check by hand; the record stays, except a
 *     damaged one, which is renamed "<record>.damaged-...".
 *   ECRB_OUTCOME_NONE: there was no record to resolve.
 *   E_FAIL: the terminal cannot be asked (link not open, busy, or no
 *     answer); the record stays.
 *
 * The record is "ecrbridge.oprecord" in the record directory, held by the
 * paying process with an advisory lock ("ecrbridge.oprecord.lock"): a
 * process sharing the directory neither reads nor removes the record of
 * another process that is still alive, and pays without a record of its own
 * while that one runs (the log says so).  The journal position is kept in
 * "ecrbridge.journal" for the link last opened. */
ECRBRIDGE_API int ecrb_recover(void);
/* The directory of the operation record (default: the log directory).
 * 0, or E_INVALIDARG for a null or empty path or one that is not a directory. */
ECRBRIDGE_API int ecrb_set_record_dir(const char* dir);

#ifdef __cplusplus
} /* extern "C" */

/* Functions exported under C++ (mangled) names; declare them with exactly
   these parameter types.  From C and other languages use their ecrb_ names
   above. */
/* ---- section: mangled ---- */
/* The single ECR object, created on the first exported call of any kind.
   Make the first call from one thread.  Null only when it cannot be created. */
ECRBRIDGE_API CVarkoClass2017* create_object();
/* Closes the connection and releases the object; null does nothing, and so
   does a pointer that is not the current object (one destroyed already).
   After the single instance is destroyed the next exported call creates a
   fresh one with default properties.  A running payment is stopped and
   waited for, as is every exported call still running on the object. */
ECRBRIDGE_API void destroy_object(CVarkoClass2017* object);
/* Register the transaction-complete callback, replacing the previous one; a
   null pointer leaves none.  Takes effect from the next callback; may be
   called from any thread, also from inside a callback.  The callback runs
   on the thread that carries out the transaction. */
ECRBRIDGE_API void OnTrxComplete(EcrTrxCompleteCallback callback);
/* Register the intermediate-message callback (text at most 49 characters);
   as OnTrxComplete. */
ECRBRIDGE_API void OnMsgReceived(EcrMsgReceivedCallback callback);
/* Asynchronous payments (see "async" above for threads and callbacks). */
ECRBRIDGE_API void PosCashBack(double amount, double cashBackAmount);
ECRBRIDGE_API void Auth(double amount, double addAmount);
ECRBRIDGE_API void PosAuthFin(double amount, double addAmount);
/* Purchase with card check: the callback reports 33 when the terminal has
   told whose card it is, then the cash register decides with
   PurchaseCheckCardCompleteTran.  Writes 20 to *pResult (from the operation's
   thread) before the request is sent; it must stay valid until the callback. */
ECRBRIDGE_API void PurchaseCheckCard(double amount, double addAmount, unsigned long* pResult);
/* Print a text of at most 1000 characters on the terminal; the text is copied
   before the call returns.  A null or longer text, or one holding STX, ETX,
   ACK, NAK or FS, starts nothing (line breaks pass). */
ECRBRIDGE_API void PosPrintMessage(char* text);
/* Cancel the running operation from any thread: it ends with callback result
   0.  Also drops the pending completions of card reads, discounts and card
   checks.  Returns 0. */
ECRBRIDGE_API int CancelTransaction();
/* Second step of PurchaseCheckCard, on the caller's thread: true completes
   the purchase and reads the terminal's final response, false cancels it;
   the callback then reports the result (0 when not completed).  E_FAIL
   without a connection, without a pending card check or when the terminal
   does not confirm the decision. */
ECRBRIDGE_API int PurchaseCheckCardCompleteTran(bool complete, unsigned long* pResult);
/* Summary totals of the last PosGSI (currency units): purchases, refunds,
   voids.  E_FAIL for a null pointer, else 0. */
ECRBRIDGE_API int TotolAmoundPurchaseTransaction(double* pVal);
ECRBRIDGE_API int TotolAmoundRefundTransaction(double* pVal);
ECRBRIDGE_API int TotolAmoundVoidTransaction(double* pVal);
/* ---- end section: mangled ---- */
#endif

#endif /* ECRBRIDGE_H */
