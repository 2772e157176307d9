// Engine errors: every failure inside the table engine is reported as an
// ERERUZOEngineError carrying a numeric code, seven context strings (server, user,
// database, table, field, index, text) and a finished message built from the code's
// message template. The details of the last error are also kept in one process-wide
// error record, guarded by its own lock, so that a component can later raise an
// exception for a bare result code with the context of the error that produced it.
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace reruzo {

// Base of every error the dataset components raise (component misuse such as
// "Missing table name." is a plain EDatabaseError).
class EDatabaseError : public std::runtime_error {
public:
    explicit EDatabaseError(const std::string& message) : std::runtime_error(message) {}
};

// Positions of the context strings in the error record, in record order.
enum class TErrorContextField : int {
    Server = 0,
    User = 1,
    Database = 2,
    Table = 3,
    Field = 4,
    Index = 5,
    Text = 6,
};

// The context of one error; strings that do not apply stay empty.
struct TErrorContext {
    std::string server;
    std::string user;
    std::string database;
    std::string table;
    std::string field;
    std::string index;
    std::string text;
    // What the message adds after a colon for an error whose message has no place for
    // it (the key a unique index refuses, the record a value came from); not part of
    // the error record.
    std::string detail;
};

class ERERUZOEngineError : public EDatabaseError {
public:
    ERERUZOEngineError(const std::string& message, std::uint16_t code, const TErrorContext& ctx)
        : EDatabaseError(message),
          EngineCode(code),
          ContextServer(ctx.server),
          ContextUser(ctx.user),
          ContextDatabase(ctx.database),
          ContextTable(ctx.table),
          ContextField(ctx.field),
          ContextIndex(ctx.index),
          ContextText(ctx.text) {}

    std::uint16_t EngineCode;
    std::string ContextServer;
    std::string ContextUser;
    std::string ContextDatabase;
    std::string ContextTable;
    std::string ContextField;
    std::string ContextIndex;
    std::string ContextText;
};

// Error codes. The high byte groups them: 0x22 positioning, 0x23 corrupt files,
// 0x24 file I/O, 0x25 limits, 0x26 integrity, 0x27 invalid requests, 0x28 locks,
// 0x29 rights, 0x2A BLOBs and initialisation, 0x2B operating system, 0x2C server,
// 0x2E SQL, 0x2F versions, 0x30 index field types, 0x33 existing tables,
// 0x3A compression, 0x3E language drivers.
inline constexpr std::uint16_t RERUZO_NONE = 0;
inline constexpr std::uint16_t RERUZO_BOF = 8705;
inline constexpr std::uint16_t RERUZO_EOF = 8706;
inline constexpr std::uint16_t RERUZO_KEYORRECDELETED = 8708;
inline constexpr std::uint16_t RERUZO_NOCURRREC = 8709;
inline constexpr std::uint16_t RERUZO_RECNOTFOUND = 8710;
inline constexpr std::uint16_t RERUZO_ENDOFBLOB = 8711;
inline constexpr std::uint16_t RERUZO_HEADERCORRUPT = 8961;
inline constexpr std::uint16_t RERUZO_FILECORRUPT = 8962;
inline constexpr std::uint16_t RERUZO_MEMOCORRUPT = 8963;
inline constexpr std::uint16_t RERUZO_INDEXCORRUPT = 8965;
inline constexpr std::uint16_t RERUZO_READERR = 9217;
inline constexpr std::uint16_t RERUZO_WRITEERR = 9218;
inline constexpr std::uint16_t RERUZO_FILEDELETEFAIL = 9220;
inline constexpr std::uint16_t RERUZO_FILENOACCESS = 9221;
inline constexpr std::uint16_t RERUZO_RECTOOBIG = 9477;
inline constexpr std::uint16_t RERUZO_TABLEFULL = 9479;
inline constexpr std::uint16_t RERUZO_INTERNALLIMIT = 9482;
inline constexpr std::uint16_t RERUZO_INDEXLIMIT = 9487;
inline constexpr std::uint16_t RERUZO_FLDLIMIT = 9492;
inline constexpr std::uint16_t RERUZO_OPENBLOBLIMIT = 9494;
inline constexpr std::uint16_t RERUZO_BLOBLIMIT = 9498;
inline constexpr std::uint16_t RERUZO_KEYVIOL = 9729;
inline constexpr std::uint16_t RERUZO_MINVALERR = 9730;
inline constexpr std::uint16_t RERUZO_MAXVALERR = 9731;
inline constexpr std::uint16_t RERUZO_REQDERR = 9732;
inline constexpr std::uint16_t RERUZO_OUTOFRANGE = 9985;
inline constexpr std::uint16_t RERUZO_PRIMARYKEYREDEFINE = 9993;
inline constexpr std::uint16_t RERUZO_INVALIDBLOBOFFSET = 9998;
inline constexpr std::uint16_t RERUZO_INVALIDFLDTYPE = 10000;
inline constexpr std::uint16_t RERUZO_INVALIDVCHKSTRUCT = 10006;
inline constexpr std::uint16_t RERUZO_INDEXNAMEREQUIRED = 10010;
inline constexpr std::uint16_t RERUZO_INVALIDPASSWORD = 10015;
inline constexpr std::uint16_t RERUZO_INVALIDINDEXNAME = 10022;
inline constexpr std::uint16_t RERUZO_INVALIDIDXDESC = 10023;
inline constexpr std::uint16_t RERUZO_INVALIDKEY = 10026;
inline constexpr std::uint16_t RERUZO_INDEXEXISTS = 10027;
inline constexpr std::uint16_t RERUZO_INVALIDBLOBLEN = 10029;
inline constexpr std::uint16_t RERUZO_INVALIDBLOBHANDLE = 10030;
inline constexpr std::uint16_t RERUZO_TABLEOPEN = 10031;
inline constexpr std::uint16_t RERUZO_INVALIDFIELDNAME = 10038;
inline constexpr std::uint16_t RERUZO_NOSUCHFILTER = 10050;
inline constexpr std::uint16_t RERUZO_INVALIDFILTER = 10051;
inline constexpr std::uint16_t RERUZO_INVALIDINDEXDELETE = 10055;
inline constexpr std::uint16_t RERUZO_LOCKED = 10241;
inline constexpr std::uint16_t RERUZO_UNLOCKFAILED = 10242;
inline constexpr std::uint16_t RERUZO_LOCKTIMEOUT = 10249;
inline constexpr std::uint16_t RERUZO_NEEDEXCLACCESS = 10253;
inline constexpr std::uint16_t RERUZO_RECLOCKFAILED = 10258;
inline constexpr std::uint16_t RERUZO_NOTSUFFTABLERIGHTS = 10498;
inline constexpr std::uint16_t RERUZO_NOTABLOB = 10753;
inline constexpr std::uint16_t RERUZO_NOTINITIALIZED = 10758;
inline constexpr std::uint16_t RERUZO_OSENOENT = 11010;
inline constexpr std::uint16_t RERUZO_OSEMFILE = 11012;
inline constexpr std::uint16_t RERUZO_OSEACCES = 11013;
inline constexpr std::uint16_t RERUZO_OSEBADF = 11014;
inline constexpr std::uint16_t RERUZO_OSENOMEM = 11016;
inline constexpr std::uint16_t RERUZO_OSEINVMEM = 11017;
inline constexpr std::uint16_t RERUZO_OSENODEV = 11023;
inline constexpr std::uint16_t RERUZO_OSENOTSAM = 11025;
inline constexpr std::uint16_t RERUZO_OSUNKNOWN = 11047;
inline constexpr std::uint16_t RERUZO_REMOTECOMMLOST = 11276;
inline constexpr std::uint16_t RERUZO_REMOTEUNKNOWN = 11279;
inline constexpr std::uint16_t RERUZO_REMOTECONNECT = 11280;
inline constexpr std::uint16_t RERUZO_REMOTENOLOGIN = 11281;
inline constexpr std::uint16_t RERUZO_REMOTEMAXCONNECT = 11282;
inline constexpr std::uint16_t RERUZO_REMOTEADDRESSBLOCK = 11283;
inline constexpr std::uint16_t RERUZO_REMOTECALLBACK = 11284;
inline constexpr std::uint16_t RERUZO_REMOTECALLBACKERR = 11285;
inline constexpr std::uint16_t RERUZO_REMOTEVERSION = 11286;
inline constexpr std::uint16_t RERUZO_REMOTEINVLOGIN = 11287;
inline constexpr std::uint16_t RERUZO_REMOTENOTAUTH = 11288;
inline constexpr std::uint16_t RERUZO_REMOTENOTADMIN = 11289;
inline constexpr std::uint16_t RERUZO_REMOTEINVUSER = 11290;
inline constexpr std::uint16_t RERUZO_REMOTENOUSER = 11291;
inline constexpr std::uint16_t RERUZO_REMOTEDUPUSER = 11292;
inline constexpr std::uint16_t RERUZO_REMOTEINVDB = 11293;
inline constexpr std::uint16_t RERUZO_REMOTENODB = 11294;
inline constexpr std::uint16_t RERUZO_REMOTEDUPDB = 11295;
inline constexpr std::uint16_t RERUZO_REMOTEINVDBUSER = 11296;
inline constexpr std::uint16_t RERUZO_REMOTENODBUSER = 11297;
inline constexpr std::uint16_t RERUZO_REMOTEDUPDBUSER = 11298;
inline constexpr std::uint16_t RERUZO_REMOTEINVREQUEST = 11299;
inline constexpr std::uint16_t RERUZO_IMPORTERROR = 11300;
inline constexpr std::uint16_t RERUZO_EXPORTERROR = 11301;
inline constexpr std::uint16_t RERUZO_SQLPARSE = 11949;
inline constexpr std::uint16_t RERUZO_OLDVERSION = 12035;
inline constexpr std::uint16_t RERUZO_SEARCHCOLREQD = 12292;
inline constexpr std::uint16_t RERUZO_TABLEEXISTS = 13060;
inline constexpr std::uint16_t RERUZO_COMPRESS = 15001;
inline constexpr std::uint16_t RERUZO_UNCOMPRESS = 15002;
inline constexpr std::uint16_t RERUZO_CANNOTLOADLDDRV = 15878;

// Longest context string kept in the error record, and longest message text.
inline constexpr std::size_t kMaxContextLength = 255;
inline constexpr std::size_t kMaxMessageLength = 254;

// Raises the engine error `code` with the given context: the error record is filled
// (each string cut to 255 characters) and the exception built from it is thrown.
[[noreturn]] void RaiseEngineError(std::uint16_t code, const TErrorContext& context = {});
[[noreturn]] void RaiseEngineError(std::uint16_t code, std::string_view server,
                                   std::string_view user, std::string_view database,
                                   std::string_view table, std::string_view field,
                                   std::string_view index, std::string_view text);

// Raises ERERUZOEngineError for a result code returned by a cursor operation, with
// the context of the error record as it stands (the last error raised). 0 raises nothing.
void RaiseForResult(std::uint16_t code);

// The message text of `code` with its placeholders filled from the error record.
std::string EngineErrorMessage(std::uint16_t code);
// The symbolic name of `code` ("RERUZO_KEYVIOL"); an empty string for unknown codes.
std::string_view EngineErrorName(std::uint16_t code);
// Context string number n (0 = server .. 6 = text) of the error record; empty outside 0..6.
std::string EngineErrorContext(int n);
// Code of the last error stored in the error record.
std::uint16_t LastEngineErrorCode();

// The message template of `code` with %s placeholders, and the fields that fill them.
// Unknown codes, 0 and RERUZO_REMOTECALLBACK give "An unknown error occurred".
struct TErrorTemplate {
    std::uint16_t code;
    std::string_view name;
    std::string_view message;
    std::array<TErrorContextField, 3> args;
    int argCount;
};
const TErrorTemplate& ErrorTemplate(std::uint16_t code);

// Builds the full exception message "RERUZO Engine Error # <code> <message>" for a
// code and a context, without touching the error record.
std::string FormatEngineErrorMessage(std::uint16_t code, const TErrorContext& context);

}  // namespace reruzo
