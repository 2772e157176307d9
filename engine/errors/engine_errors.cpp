// The table of engine error codes with their names and message templates, the
// process-wide error record, and the one raising function through which every
// engine layer reports a failure.
#include "engine/errors/engine_errors.h"

#include <algorithm>
#include <mutex>

namespace reruzo {
namespace {

using F = TErrorContextField;

// Sorted by code; looked up by binary search.
constexpr TErrorTemplate kTemplates[] = {
    {0, "RERUZO_NONE", "An unknown error occurred", {}, 0},
    {8705, "RERUZO_BOF", "Beginning of table '%s' unexpectedly encountered", {F::Table}, 1},
    {8706, "RERUZO_EOF", "End of table '%s' unexpectedly encountered", {F::Table}, 1},
    {8708, "RERUZO_KEYORRECDELETED", "Record has been changed or deleted by another user, session, or table cursor in the table '%s'", {F::Table}, 1},
    {8709, "RERUZO_NOCURRREC", "No current record in the table '%s'", {F::Table}, 1},
    {8710, "RERUZO_RECNOTFOUND", "Record not found in the table '%s'", {F::Table}, 1},
    {8711, "RERUZO_ENDOFBLOB", "End of blob data in the table '%s' reached prematurely", {F::Table}, 1},
    {8961, "RERUZO_HEADERCORRUPT", "Header information corrupt in the table '%s'", {F::Table}, 1},
    {8962, "RERUZO_FILECORRUPT", "Data record buffers corrupt in the table '%s'", {F::Table}, 1},
    {8963, "RERUZO_MEMOCORRUPT", "BLOB block buffers corrupt in the table '%s'", {F::Table}, 1},
    {8965, "RERUZO_INDEXCORRUPT", "Index page buffers corrupt in the table '%s'", {F::Table}, 1},
    {9217, "RERUZO_READERR", "Error reading from the table '%s'", {F::Table}, 1},
    {9218, "RERUZO_WRITEERR", "Error writing to the table '%s'", {F::Table}, 1},
    {9220, "RERUZO_FILEDELETEFAIL", "Cannot delete the table '%s'", {F::Table}, 1},
    {9221, "RERUZO_FILENOACCESS", "Error accessing header information for the table '%s'", {F::Table}, 1},
    {9477, "RERUZO_RECTOOBIG", "Maximum record size exceeded in the table '%s'", {F::Table}, 1},
    {9479, "RERUZO_TABLEFULL", "The table '%s' is full and cannot contain any more data", {F::Table}, 1},
    {9482, "RERUZO_INTERNALLIMIT", "Too many filters defined for the table '%s'", {F::Table}, 1},
    {9487, "RERUZO_INDEXLIMIT", "Maximum or minimum limits on number of indexes or fields in an index exceeded in the table '%s'", {F::Table}, 1},
    {9492, "RERUZO_FLDLIMIT", "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in the table '%s'", {F::Table}, 1},
    {9494, "RERUZO_OPENBLOBLIMIT", "Too many blobs opened in the table '%s'", {F::Table}, 1},
    {9498, "RERUZO_BLOBLIMIT", "Too many blob fields or invalid blob block size specified for the table '%s'", {F::Table}, 1},
    {9729, "RERUZO_KEYVIOL", "Duplicate key found in the index '%s' of the table '%s'", {F::Index, F::Table}, 2},
    {9730, "RERUZO_MINVALERR", "The value for the field '%s' in the table '%s' is below the minimum allowable value", {F::Field, F::Table}, 2},
    {9731, "RERUZO_MAXVALERR", "The value for the field '%s' in the table '%s' is above the maximum allowable value", {F::Field, F::Table}, 2},
    {9732, "RERUZO_REQDERR", "A value must be provided for the field '%s' in the table '%s'", {F::Field, F::Table}, 2},
    {9985, "RERUZO_OUTOFRANGE", "Invalid field number or name '%s' specified for the table '%s'", {F::Field, F::Table}, 2},
    {9993, "RERUZO_PRIMARYKEYREDEFINE", "A primary index is already defined for the table '%s' and cannot be added again", {F::Table}, 1},
    {9998, "RERUZO_INVALIDBLOBOFFSET", "Invalid blob offset into the table '%s' specified", {F::Table}, 1},
    {10000, "RERUZO_INVALIDFLDTYPE", "Invalid field definition specified for the field '%s' in the table '%s'", {F::Field, F::Table}, 2},
    {10006, "RERUZO_INVALIDVCHKSTRUCT", "Invalid default, min or max validity check, or expression specified for the field '%s' in the table '%s'", {F::Field, F::Table}, 2},
    {10010, "RERUZO_INDEXNAMEREQUIRED", "The secondary index name is missing or not specified for the table '%s'", {F::Table}, 1},
    {10015, "RERUZO_INVALIDPASSWORD", "Password provided for the table '%s' is invalid", {F::Table}, 1},
    {10022, "RERUZO_INVALIDINDEXNAME", "Invalid secondary index name '%s' specified for the table '%s'", {F::Index, F::Table}, 2},
    {10023, "RERUZO_INVALIDIDXDESC", "Invalid field number '%s' specified in the index '%s' for the table '%s'", {F::Field, F::Index, F::Table}, 3},
    {10026, "RERUZO_INVALIDKEY", "Invalid key size specified in the index '%s' for the table '%s'", {F::Index, F::Table}, 2},
    {10027, "RERUZO_INDEXEXISTS", "The secondary index '%s' already exists for the table '%s'", {F::Index, F::Table}, 2},
    {10029, "RERUZO_INVALIDBLOBLEN", "Invalid blob length in the table '%s'", {F::Table}, 1},
    {10030, "RERUZO_INVALIDBLOBHANDLE", "Invalid blob handle for the table '%s' specified", {F::Table}, 1},
    {10031, "RERUZO_TABLEOPEN", "The table '%s' is already in use", {F::Table}, 1},
    {10038, "RERUZO_INVALIDFIELDNAME", "Invalid or duplicate field name '%s' specified for the table '%s'", {F::Field, F::Table}, 2},
    {10050, "RERUZO_NOSUCHFILTER", "Invalid filter handle specified for the table '%s'", {F::Table}, 1},
    {10051, "RERUZO_INVALIDFILTER", "Filter error for the table '%s' - %s", {F::Table, F::Text}, 2},
    {10055, "RERUZO_INVALIDINDEXDELETE", "The primary index cannot be removed from the table '%s'", {F::Table}, 1},
    {10241, "RERUZO_LOCKED", "The table '%s' is already locked by another user", {F::Table}, 1},
    {10242, "RERUZO_UNLOCKFAILED", "Cannot unlock table or record in the table '%s'", {F::Table}, 1},
    {10249, "RERUZO_LOCKTIMEOUT", "General lock failure with the table '%s'", {F::Table}, 1},
    {10253, "RERUZO_NEEDEXCLACCESS", "The table '%s' must be opened exclusively", {F::Table}, 1},
    {10258, "RERUZO_RECLOCKFAILED", "Record in the table '%s' is in use by another user", {F::Table}, 1},
    {10498, "RERUZO_NOTSUFFTABLERIGHTS", "Insufficient rights to the table '%s', a password is required", {F::Table}, 1},
    {10753, "RERUZO_NOTABLOB", "Invalid blob field '%s' specified for the table '%s'", {F::Field, F::Table}, 2},
    {10758, "RERUZO_NOTINITIALIZED", "The database engine is not initialized", {}, 0},
    {11010, "RERUZO_OSENOENT", "Table '%s' does not exist", {F::Table}, 1},
    {11012, "RERUZO_OSEMFILE", "Too many operating system files open while attempting to open the table '%s'", {F::Table}, 1},
    {11013, "RERUZO_OSEACCES", "Access denied to table '%s'", {F::Table}, 1},
    {11014, "RERUZO_OSEBADF", "Invalid operating system file handle for the table '%s'", {F::Table}, 1},
    {11016, "RERUZO_OSENOMEM", "There is insufficient operating system memory available for the current operation", {}, 0},
    {11017, "RERUZO_OSEINVMEM", "Invalid length for the in-memory table '%s'", {F::Table}, 1},
    {11023, "RERUZO_OSENODEV", "Access denied to logical operating system device for the table '%s'", {F::Table}, 1},
    {11025, "RERUZO_OSENOTSAM", "The table '%s' has been moved", {F::Table}, 1},
    {11047, "RERUZO_OSUNKNOWN", "An unknown operating system error occurred with the table '%s'", {F::Table}, 1},
    {11276, "RERUZO_REMOTECOMMLOST", "The connection to the database server at '%s' has been lost", {F::Server}, 1},
    {11279, "RERUZO_REMOTEUNKNOWN", "An unknown error ('%s') occurred with the connection to the database server at '%s', please check the server log", {F::Text, F::Server}, 2},
    {11280, "RERUZO_REMOTECONNECT", "A connection to the database server at '%s' cannot be established", {F::Server}, 1},
    {11281, "RERUZO_REMOTENOLOGIN", "A connection to the database server at '%s' cannot be established, the server is not accepting new logins", {F::Server}, 1},
    {11282, "RERUZO_REMOTEMAXCONNECT", "A connection to the database server at '%s' cannot be established, the maximum number of connections has been reached", {F::Server}, 1},
    {11283, "RERUZO_REMOTEADDRESSBLOCK", "A connection to the database server at '%s' cannot be established, the client address is blocked", {F::Server}, 1},
    {11284, "RERUZO_REMOTECALLBACK", "An unknown error occurred", {}, 0},
    {11285, "RERUZO_REMOTECALLBACKERR", "A server callback error occurred for the database server at '%s'", {F::Server}, 1},
    {11286, "RERUZO_REMOTEVERSION", "A connection to the database server at '%s' cannot be established, the client engine version does not match the server", {F::Server}, 1},
    {11287, "RERUZO_REMOTEINVLOGIN", "A connection to the database server at '%s' cannot be established, the login information provided is invalid", {F::Server}, 1},
    {11288, "RERUZO_REMOTENOTAUTH", "The user '%s' is not authorized to perform this operation with the database '%s' on the database server at '%s'", {F::User, F::Database, F::Server}, 3},
    {11289, "RERUZO_REMOTENOTADMIN", "The user '%s' is not authorized to perform administration functions on the database server at '%s'", {F::User, F::Server}, 2},
    {11290, "RERUZO_REMOTEINVUSER", "The user name is either invalid or blank", {}, 0},
    {11291, "RERUZO_REMOTENOUSER", "The user '%s' does not exist on the database server at '%s'", {F::User, F::Server}, 2},
    {11292, "RERUZO_REMOTEDUPUSER", "The user '%s' already exists on the database server at '%s'", {F::User, F::Server}, 2},
    {11293, "RERUZO_REMOTEINVDB", "The database name is either invalid or blank", {}, 0},
    {11294, "RERUZO_REMOTENODB", "The database '%s' does not exist on the database server at '%s'", {F::Database, F::Server}, 2},
    {11295, "RERUZO_REMOTEDUPDB", "The database '%s' already exists on the database server at '%s'", {F::Database, F::Server}, 2},
    {11296, "RERUZO_REMOTEINVDBUSER", "The database user name is either invalid or blank", {}, 0},
    {11297, "RERUZO_REMOTENODBUSER", "The database user '%s' does not exist for the database '%s' on the database server at '%s'", {F::User, F::Database, F::Server}, 3},
    {11298, "RERUZO_REMOTEDUPDBUSER", "The database user '%s' already exists for the database '%s' on the database server at '%s'", {F::User, F::Database, F::Server}, 3},
    {11299, "RERUZO_REMOTEINVREQUEST", "An invalid or unknown request was made to the database server at '%s'", {F::Server}, 1},
    {11300, "RERUZO_IMPORTERROR", "An error occurred during the import into the table '%s' - %s", {F::Table, F::Text}, 2},
    {11301, "RERUZO_EXPORTERROR", "An error occurred during the export from the table '%s' - %s", {F::Table, F::Text}, 2},
    {11949, "RERUZO_SQLPARSE", "SQL error - %s", {F::Text}, 1},
    {12035, "RERUZO_OLDVERSION", "The table '%s' is not the correct version", {F::Table}, 1},
    {12292, "RERUZO_SEARCHCOLREQD", "Invalid field type specified for the index '%s' in the table '%s'", {F::Index, F::Table}, 2},
    {13060, "RERUZO_TABLEEXISTS", "The table '%s' already exists", {F::Table}, 1},
    {15001, "RERUZO_COMPRESS", "Error compressing data", {}, 0},
    {15002, "RERUZO_UNCOMPRESS", "Error uncompressing data", {}, 0},
    {15878, "RERUZO_CANNOTLOADLDDRV", "The language driver for the table '%s' is not available or installed", {F::Table}, 1},
};

constexpr TErrorTemplate kUnknown = {0, "", "An unknown error occurred", {}, 0};

// The error record: the last error raised in this process.
struct TErrorRecord {
    std::uint16_t code = 0;
    std::array<std::string, 7> context;
};

std::mutex& RecordLock() {
    static std::mutex lock;
    return lock;
}

TErrorRecord& Record() {
    static TErrorRecord record;
    return record;
}

std::string Cut(std::string_view s, std::size_t n) { return std::string(s.substr(0, n)); }

const std::string& ContextOf(const TErrorContext& c, F f) {
    switch (f) {
        case F::Server: return c.server;
        case F::User: return c.user;
        case F::Database: return c.database;
        case F::Table: return c.table;
        case F::Field: return c.field;
        case F::Index: return c.index;
        case F::Text: return c.text;
    }
    return c.text;
}

TErrorContext ContextFromRecord(const TErrorRecord& r) {
    return {r.context[0], r.context[1], r.context[2], r.context[3],
            r.context[4], r.context[5], r.context[6]};
}

// Fills the %s placeholders of a template from left to right. Inserted text is not
// scanned again, so a context string holding "%s" is taken literally.
std::string BuildMessage(const TErrorTemplate& t, const TErrorContext& ctx) {
    std::string out;
    int next = 0;
    const std::string_view m = t.message;
    for (std::size_t i = 0; i < m.size(); ++i) {
        if (m[i] == '%' && i + 1 < m.size() && m[i + 1] == 's') {
            if (next < t.argCount) out += ContextOf(ctx, t.args[static_cast<std::size_t>(next++)]);
            ++i;
        } else {
            out += m[i];
        }
    }
    return Cut(out, kMaxMessageLength);
}

ERERUZOEngineError MakeError(std::uint16_t code, const TErrorContext& ctx) {
    return ERERUZOEngineError(FormatEngineErrorMessage(code, ctx), code, ctx);
}

}  // namespace

const TErrorTemplate& ErrorTemplate(std::uint16_t code) {
    const auto* end = std::end(kTemplates);
    const auto* it = std::lower_bound(std::begin(kTemplates), end, code,
                                      [](const TErrorTemplate& t, std::uint16_t c) { return t.code < c; });
    if (it == end || it->code != code) return kUnknown;
    return *it;
}

std::string FormatEngineErrorMessage(std::uint16_t code, const TErrorContext& context) {
    std::string message = BuildMessage(ErrorTemplate(code), context);
    if (!context.detail.empty()) message = Cut(message + ": " + context.detail, kMaxMessageLength);
    return "RERUZO Engine Error # " + std::to_string(code) + " " + message;
}

void RaiseEngineError(std::uint16_t code, const TErrorContext& context) {
    // The record is cleared, filled and copied into the exception under one hold of
    // its lock, so a concurrent raise can never mix its context into ours.
    TErrorContext stored;
    {
        std::lock_guard guard(RecordLock());
        TErrorRecord& r = Record();
        r = TErrorRecord{};
        r.code = code;
        r.context = {Cut(context.server, kMaxContextLength), Cut(context.user, kMaxContextLength),
                     Cut(context.database, kMaxContextLength), Cut(context.table, kMaxContextLength),
                     Cut(context.field, kMaxContextLength), Cut(context.index, kMaxContextLength),
                     Cut(context.text, kMaxContextLength)};
        stored = ContextFromRecord(r);
    }
    stored.detail = Cut(context.detail, kMaxMessageLength);
    throw MakeError(code, stored);
}

void RaiseEngineError(std::uint16_t code, std::string_view server, std::string_view user,
                      std::string_view database, std::string_view table, std::string_view field,
                      std::string_view index, std::string_view text) {
    RaiseEngineError(code, TErrorContext{std::string(server), std::string(user),
                                         std::string(database), std::string(table),
                                         std::string(field), std::string(index),
                                         std::string(text)});
}

void RaiseForResult(std::uint16_t code) {
    if (code == 0) return;
    TErrorContext ctx;
    {
        std::lock_guard guard(RecordLock());
        ctx = ContextFromRecord(Record());
    }
    throw MakeError(code, ctx);
}

std::string EngineErrorMessage(std::uint16_t code) {
    std::lock_guard guard(RecordLock());
    return BuildMessage(ErrorTemplate(code), ContextFromRecord(Record()));
}

std::string_view EngineErrorName(std::uint16_t code) { return ErrorTemplate(code).name; }

std::string EngineErrorContext(int n) {
    if (n < 0 || n > 6) return {};
    std::lock_guard guard(RecordLock());
    return Record().context[static_cast<std::size_t>(n)];
}

std::uint16_t LastEngineErrorCode() {
    std::lock_guard guard(RecordLock());
    return Record().code;
}

}  // namespace reruzo
