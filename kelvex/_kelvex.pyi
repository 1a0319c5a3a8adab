# Type stubs for the compiled module kelvex._kelvex.
import asyncio
from datetime import datetime
from collections.abc import Callable, Coroutine
from types import TracebackType
from typing import Any, NamedTuple, NewType, Self, final, overload

from typing_extensions import disjoint_base

from _typeshed import ReadableBuffer, SupportsRead, SupportsWrite, WriteableBuffer

version: str
COMPILE_PY_VERSION_HEX: int
COMPILE_LIBCURL_VERSION_NUM: int
COMPILE_SSL_LIB: str

class error(Exception): ...

class KhKey(NamedTuple):
    key: bytes
    keytype: int

class CurlSockAddr(NamedTuple):
    family: int
    socktype: int
    protocol: int
    addr: tuple[str, int] | tuple[str, int, int, int] | bytes

class HstsEntry(NamedTuple):
    host: bytes
    expire: datetime | None
    include_subdomains: bool

class HstsIndex(NamedTuple):
    idx: int
    total: int

class WsFrame(NamedTuple):
    age: int
    flags: int
    offset: int
    bytesleft: int
    len: int

class CurlHeader(NamedTuple):
    name: str
    value: str
    origin: int
    request: int

@disjoint_base
class CurlUrl:
    def __new__(cls, url: str | bytes | None = None, flags: int = 0) -> Self: ...
    def get(self, part: int, flags: int = 0) -> str: ...
    def set(self, part: int, value: str | bytes | None, flags: int = 0) -> None: ...
    def dup(self) -> Self: ...
    def __copy__(self) -> Self: ...
    def __deepcopy__(self, memo: dict[int, Any], /) -> Self: ...

class CurlFileInfo(NamedTuple):
    filename: bytes | None
    filetype: int
    size: int
    perm: int
    uid: int
    gid: int
    hardlinks: int
    time: bytes | None
    target: bytes | None
    flags: int

# What setopt takes and getinfo gives, by constant. Each option and each
# information constant is declared below with one of these kinds (the only
# place that says which), so that a type checker sees a value of the wrong
# kind given to an option and a result used as the wrong type. A new option
# or information constant needs its kind here, or setopt/getinfo refuse it.
_IntOption = NewType("_IntOption", int)            # int (libcurl long or curl_off_t)
_TextOption = NewType("_TextOption", int)          # bytes or ASCII-only str; blobs too
_ListOption = NewType("_ListOption", int)          # a list or tuple of texts
_FunctionOption = NewType("_FunctionOption", int)  # a callable
_WriterOption = NewType("_WriterOption", int)      # an object with write()
_ReaderOption = NewType("_ReaderOption", int)      # an object with read()
_FormOption = NewType("_FormOption", int)          # HTTPPOST's form fields
_MimeOption = NewType("_MimeOption", int)          # a CurlMime
_ShareOption = NewType("_ShareOption", int)        # a CurlShare
_IntInfo = NewType("_IntInfo", int)                # int
_FloatInfo = NewType("_FloatInfo", int)            # float
_TextInfo = NewType("_TextInfo", int)              # str or None (getinfo_raw: bytes)
_ListInfo = NewType("_ListInfo", int)              # list of str (getinfo_raw: bytes)
_CertInfo = NewType("_CertInfo", int)              # the certificate chain, or None

# Text handed to libcurl: bytes, or str of ASCII characters, without NUL.
_Text = str | bytes
_TextList = list[_Text] | tuple[_Text, ...]
_CertChain = list[tuple[tuple[str, str], ...]]
_RawCertChain = list[tuple[tuple[bytes, bytes], ...]]

def global_init(option: int, /) -> None: ...
def global_cleanup() -> None: ...
def version_info(stamp: int = ..., /) -> tuple[
    int, str | None, int, str | None, int, str | None, int, str | None,
    tuple[str, ...], str | None, int, str | None,
]: ...
def easy_strerror(errornum: int, /) -> str: ...
def multi_strerror(errornum: int, /) -> str: ...
def share_strerror(errornum: int, /) -> str: ...
def url_strerror(errornum: int, /) -> str: ...

@disjoint_base
class Curl:
    def __new__(cls) -> Self: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def duphandle(self) -> Curl: ...
    def reset(self) -> None: ...
    def multi(self) -> CurlMulti | None: ...
    def share(self) -> CurlShare | None: ...
    def perform(self) -> None: ...
    def perform_rb(self) -> bytes: ...
    def perform_rs(self) -> str: ...
    def send(self, data: ReadableBuffer, /) -> int: ...
    def recv(self, buffersize: int, /) -> bytes: ...
    def recv_into(self, buffer: WriteableBuffer, nbytes: int = 0) -> int: ...
    def pause(self, bitmask: int = ..., /) -> None: ...
    def unpause(self) -> None: ...
    @overload
    def setopt(self, option: _IntOption, value: int) -> None: ...
    @overload
    def setopt(self, option: _TextOption, value: _Text | None) -> None: ...
    @overload
    def setopt(self, option: _ListOption, value: _TextList | None) -> None: ...
    @overload
    def setopt(self, option: _FunctionOption, value: Callable[..., object] | None, *,
               use_memoryview: bool = False) -> None: ...
    @overload
    def setopt(self, option: _WriterOption, value: SupportsWrite[bytes] | None) -> None: ...
    @overload
    def setopt(self, option: _ReaderOption, value: SupportsRead[bytes] | SupportsRead[str] | None) -> None: ...
    @overload
    def setopt(self, option: _FormOption, value: list[Any] | tuple[Any, ...] | None) -> None: ...
    @overload
    def setopt(self, option: _MimeOption, value: CurlMime | None) -> None: ...
    @overload
    def setopt(self, option: _ShareOption, value: CurlShare | None) -> None: ...
    def unsetopt(self, option: int, /) -> None: ...
    def setopt_string(self, option: int, value: str | bytes, /) -> None: ...
    def set_ca_certs(self, cadata: str | bytes, /) -> None: ...
    @overload
    def getinfo(self, option: _IntInfo, /) -> int: ...
    @overload
    def getinfo(self, option: _FloatInfo, /) -> float: ...
    @overload
    def getinfo(self, option: _TextInfo, /) -> str | None: ...
    @overload
    def getinfo(self, option: _ListInfo, /) -> list[str]: ...
    @overload
    def getinfo(self, option: _CertInfo, /) -> _CertChain | None: ...
    @overload
    def getinfo_raw(self, option: _IntInfo, /) -> int: ...
    @overload
    def getinfo_raw(self, option: _FloatInfo, /) -> float: ...
    @overload
    def getinfo_raw(self, option: _TextInfo, /) -> bytes | None: ...
    @overload
    def getinfo_raw(self, option: _ListInfo, /) -> list[bytes]: ...
    @overload
    def getinfo_raw(self, option: _CertInfo, /) -> _RawCertChain | None: ...
    def errstr(self) -> str: ...
    def errstr_raw(self) -> bytes: ...
    def header(self, name: str, index: int = 0, origin: int = 1, request: int = -1) -> str: ...
    def headers(self, origin: int = 1, request: int | None = -1) -> list[CurlHeader]: ...
    def ws_send(self, data: ReadableBuffer | str, flags: int | None = None, fragsize: int = 0,
                encoding: str = "utf-8") -> int: ...
    def ws_recv(self, buffersize: int, /) -> tuple[bytes, WsFrame | None]: ...
    def ws_recv_into(self, buffer: WriteableBuffer, nbytes: int = 0) -> tuple[int, WsFrame | None]: ...
    def ws_meta(self) -> WsFrame | None: ...
    def ws_close(self, code: int | None = None, reason: str | bytes | None = None,
                 encoding: str = "utf-8") -> int: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *args: object) -> None: ...
    # Constants of the easy interface and attributes set on the object.
    def __getattr__(self, name: str) -> Any: ...

@disjoint_base
class CurlMulti:
    def __new__(cls, *, close_handles: bool = False) -> Self: ...
    @property
    def closed(self) -> bool: ...
    def add_handle(self, curl: Curl, /) -> None: ...
    def remove_handle(self, curl: Curl, /) -> None: ...
    def close(self) -> None: ...
    def fdset(self) -> tuple[list[int], list[int], list[int]]: ...
    def info_read(self, max_objects: int = ..., /) -> tuple[
        int, list[Curl], list[tuple[Curl, int, str]]
    ]: ...
    def perform(self) -> tuple[int, int]: ...
    def socket_action(self, sock_fd: int, ev_bitmask: int, /) -> tuple[int, int]: ...
    def socket_all(self) -> tuple[int, int]: ...
    def setopt(self, option: int, value: Any, /) -> None: ...
    def timeout(self) -> int: ...
    def assign(self, sock_fd: int, object: Any, /) -> None: ...
    def unassign(self, sock_fd: int, /) -> None: ...
    def select(self, timeout: float, /) -> int: ...
    def poll(self, timeout: float, /) -> int: ...
    def wakeup(self) -> None: ...
    def waitfds(self) -> list[tuple[int, int]]: ...
    def get_handles(self) -> list[Curl]: ...
    def notify_enable(self, *notifications: int) -> None: ...
    def notify_disable(self, *notifications: int) -> None: ...
    def __contains__(self, curl: object, /) -> bool: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None, /) -> None: ...
    # Constants of the multi interface and attributes set on the object.
    def __getattr__(self, name: str) -> Any: ...

@final
class EventCore:
    def __new__(cls, multi: CurlMulti) -> Self: ...
    @property
    def closed(self) -> bool: ...
    @property
    def multi(self) -> CurlMulti | None: ...
    def add(self, curl: Curl, waiter: Any = None, body: bool = False) -> None: ...
    def future(self, curl: Curl, loop: asyncio.AbstractEventLoop, body: bool = False,
               /) -> asyncio.Future[Any]: ...
    def awaitable(self, curl: Curl, loop: asyncio.AbstractEventLoop | None, body: bool = False,
                  start: Callable[[Curl, bool], asyncio.Future[Any]] | None = None,
                  /) -> Coroutine[Any, Any, Any]: ...
    def performer(self, loop: asyncio.AbstractEventLoop | None, body: bool = False,
                  start: Callable[[Curl, bool], asyncio.Future[Any]] | None = None,
                  /) -> Callable[[Curl], Coroutine[Any, Any, Any]]: ...
    def remove(self, curl: Curl, /) -> bool: ...
    def process(self, timeout: float = 0.0, /) -> list[tuple[Curl, Any]]: ...
    def fileno(self) -> int: ...
    def close(self) -> list[tuple[Curl, Any]]: ...
    def __len__(self) -> int: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None, /) -> None: ...

@disjoint_base
class CurlShare:
    def __new__(cls, *, detach_on_close: bool = True) -> Self: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def setopt(self, option: int, value: int, /) -> None: ...
    def share(self, *data: int) -> None: ...
    def unshare(self, *data: int) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, *args: object) -> None: ...
    # Constants of the share interface and attributes set on the object.
    def __getattr__(self, name: str) -> Any: ...


@disjoint_base
class CurlMime:
    def __new__(cls, curl: Curl) -> Self: ...
    @property
    def closed(self) -> bool: ...
    def add(self, name: _Text | None = None, data: ReadableBuffer | str | None = None,
            file: _Text | None = None, filename: _Text | None = None,
            content_type: _Text | None = None,
            headers: list[_Text] | tuple[_Text, ...] | None = None,
            encoder: _Text | None = None) -> CurlMimePart: ...
    def add_field(self, name: _Text | None, value: ReadableBuffer | str | None,
                  content_type: _Text | None = None, encoder: _Text | None = None,
                  headers: list[_Text] | tuple[_Text, ...] | None = None) -> CurlMimePart: ...
    def add_file(self, name: _Text | None, path: _Text | None, filename: _Text | None = None,
                 content_type: _Text | None = None,
                 headers: list[_Text] | tuple[_Text, ...] | None = None,
                 encoder: _Text | None = None) -> CurlMimePart: ...
    def add_multipart(self, name: _Text | None = None,
                      subtype: _Text | None = ...) -> CurlMime: ...
    def addpart(self) -> CurlMimePart: ...
    def close(self) -> None: ...
    def __enter__(self) -> Self: ...
    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None, /) -> None: ...

@disjoint_base
class CurlMimePart:
    def name(self, value: _Text, /) -> None: ...
    def data(self, value: ReadableBuffer | str, /) -> None: ...
    def data_cb(self, datasize: int | None,
                read: Callable[[Any, int], ReadableBuffer | str | int],
                seek: Callable[[Any, int, int], int | None] | None = None,
                free: Callable[[Any], object] | None = None,
                userdata: Any = None) -> None: ...
    def filedata(self, value: _Text, /) -> None: ...
    def filename(self, value: _Text, /) -> None: ...
    def type(self, value: _Text, /) -> None: ...
    def encoder(self, value: _Text, /) -> None: ...
    def headers(self, value: list[_Text] | tuple[_Text, ...] | None, /) -> None: ...
    def subparts(self, value: CurlMime, /) -> None: ...

READFUNC_ABORT: int
READFUNC_PAUSE: int
WRITEFUNC_PAUSE: int
IOE_OK: int
IOE_UNKNOWNCMD: int
IOE_FAILRESTART: int
IOCMD_NOP: int
IOCMD_RESTARTREAD: int
SOCKET_BAD: int
INFOTYPE_TEXT: int
INFOTYPE_HEADER_IN: int
INFOTYPE_HEADER_OUT: int
INFOTYPE_DATA_IN: int
INFOTYPE_DATA_OUT: int
INFOTYPE_SSL_DATA_IN: int
INFOTYPE_SSL_DATA_OUT: int
E_OK: int
E_AGAIN: int
E_ALREADY_COMPLETE: int
E_BAD_CALLING_ORDER: int
E_BAD_PASSWORD_ENTERED: int
E_FTP_BAD_DOWNLOAD_RESUME: int
E_FTP_COULDNT_SET_TYPE: int
E_FTP_PARTIAL_FILE: int
E_FTP_USER_PASSWORD_INCORRECT: int
E_HTTP_NOT_FOUND: int
E_HTTP_PORT_FAILED: int
E_MALFORMAT_USER: int
E_QUOTE_ERROR: int
E_RANGE_ERROR: int
E_REMOTE_ACCESS_DENIED: int
E_REMOTE_DISK_FULL: int
E_REMOTE_FILE_EXISTS: int
E_UPLOAD_FAILED: int
E_URL_MALFORMAT_USER: int
E_USE_SSL_FAILED: int
E_UNSUPPORTED_PROTOCOL: int
E_FAILED_INIT: int
E_URL_MALFORMAT: int
E_NOT_BUILT_IN: int
E_COULDNT_RESOLVE_PROXY: int
E_COULDNT_RESOLVE_HOST: int
E_COULDNT_CONNECT: int
E_FTP_WEIRD_SERVER_REPLY: int
E_FTP_ACCESS_DENIED: int
E_FTP_ACCEPT_FAILED: int
E_FTP_WEIRD_PASS_REPLY: int
E_FTP_WEIRD_USER_REPLY: int
E_FTP_WEIRD_PASV_REPLY: int
E_FTP_WEIRD_227_FORMAT: int
E_FTP_CANT_GET_HOST: int
E_FTP_CANT_RECONNECT: int
E_FTP_COULDNT_SET_BINARY: int
E_PARTIAL_FILE: int
E_FTP_COULDNT_RETR_FILE: int
E_FTP_WRITE_ERROR: int
E_FTP_QUOTE_ERROR: int
E_HTTP_RETURNED_ERROR: int
E_WRITE_ERROR: int
E_FTP_COULDNT_STOR_FILE: int
E_READ_ERROR: int
E_OUT_OF_MEMORY: int
E_OPERATION_TIMEOUTED: int
E_OPERATION_TIMEDOUT: int
E_FTP_COULDNT_SET_ASCII: int
E_FTP_PORT_FAILED: int
E_FTP_COULDNT_USE_REST: int
E_FTP_COULDNT_GET_SIZE: int
E_HTTP_RANGE_ERROR: int
E_HTTP_POST_ERROR: int
E_SSL_CACERT: int
E_SSL_CACERT_BADFILE: int
E_SSL_CERTPROBLEM: int
E_SSL_CIPHER: int
E_SSL_CONNECT_ERROR: int
E_SSL_CRL_BADFILE: int
E_SSL_ENGINE_INITFAILED: int
E_SSL_ENGINE_NOTFOUND: int
E_SSL_ENGINE_SETFAILED: int
E_SSL_INVALIDCERTSTATUS: int
E_SSL_ISSUER_ERROR: int
E_SSL_PEER_CERTIFICATE: int
E_SSL_PINNEDPUBKEYNOTMATCH: int
E_SSL_SHUTDOWN_FAILED: int
E_BAD_DOWNLOAD_RESUME: int
E_FILE_COULDNT_READ_FILE: int
E_LDAP_CANNOT_BIND: int
E_LDAP_SEARCH_FAILED: int
E_LIBRARY_NOT_FOUND: int
E_FUNCTION_NOT_FOUND: int
E_ABORTED_BY_CALLBACK: int
E_BAD_FUNCTION_ARGUMENT: int
E_INTERFACE_FAILED: int
E_TOO_MANY_REDIRECTS: int
E_UNKNOWN_OPTION: int
E_UNKNOWN_TELNET_OPTION: int
E_TELNET_OPTION_SYNTAX: int
E_GOT_NOTHING: int
E_SEND_ERROR: int
E_RECV_ERROR: int
E_SHARE_IN_USE: int
E_BAD_CONTENT_ENCODING: int
E_LDAP_INVALID_URL: int
E_FILESIZE_EXCEEDED: int
E_FTP_SSL_FAILED: int
E_SEND_FAIL_REWIND: int
E_LOGIN_DENIED: int
E_PEER_FAILED_VERIFICATION: int
E_TFTP_NOTFOUND: int
E_TFTP_PERM: int
E_TFTP_DISKFULL: int
E_TFTP_ILLEGAL: int
E_TFTP_UNKNOWNID: int
E_TFTP_EXISTS: int
E_TFTP_NOSUCHUSER: int
E_CONV_FAILED: int
E_CONV_REQD: int
E_REMOTE_FILE_NOT_FOUND: int
E_SSH: int
E_FTP_PRET_FAILED: int
E_RTSP_CSEQ_ERROR: int
E_RTSP_SESSION_ERROR: int
E_CHUNK_FAILED: int
E_FTP_BAD_FILE_LIST: int
E_FTP_ACCEPT_TIMEOUT: int
E_NO_CONNECTION_AVAILABLE: int
E_HTTP2: int
PROXYTYPE_HTTP: int
PROXYTYPE_HTTP_1_0: int
PROXYTYPE_SOCKS4: int
PROXYTYPE_SOCKS4A: int
PROXYTYPE_SOCKS5: int
PROXYTYPE_SOCKS5_HOSTNAME: int
HTTPAUTH_ANY: int
HTTPAUTH_ANYSAFE: int
HTTPAUTH_BASIC: int
HTTPAUTH_DIGEST: int
HTTPAUTH_DIGEST_IE: int
HTTPAUTH_GSSNEGOTIATE: int
HTTPAUTH_NEGOTIATE: int
HTTPAUTH_NTLM: int
HTTPAUTH_NTLM_WB: int
HTTPAUTH_NONE: int
HTTPAUTH_ONLY: int
GSSAPI_DELEGATION_FLAG: int
GSSAPI_DELEGATION_NONE: int
GSSAPI_DELEGATION_POLICY_FLAG: int
GSSAPI_DELEGATION: _IntOption
APPEND: _IntOption
COOKIESESSION: _IntOption
DIRLISTONLY: _IntOption
FILE: _WriterOption
FTPPORT: _TextOption
INFILE: _ReaderOption
INFILESIZE: _IntOption
KEYPASSWD: _TextOption
LOW_SPEED_LIMIT: _IntOption
LOW_SPEED_TIME: _IntOption
PORT: _IntOption
POSTFIELDS: _TextOption
PROXY: _TextOption
PROXYPASSWORD: _TextOption
PROXYUSERNAME: _TextOption
PROXYUSERPWD: _TextOption
RANGE: _TextOption
READFUNCTION: _FunctionOption
REFERER: _TextOption
RESUME_FROM: _IntOption
TELNETOPTIONS: _ListOption
TIMEOUT: _IntOption
URL: _TextOption
USE_SSL: _IntOption
USERAGENT: _TextOption
USERPWD: _TextOption
WRITEFUNCTION: _FunctionOption
USERNAME: _TextOption
PASSWORD: _TextOption
WRITEDATA: _WriterOption
READDATA: _ReaderOption
PROXYPORT: _IntOption
HTTPPROXYTUNNEL: _IntOption
VERBOSE: _IntOption
HEADER: _IntOption
NOPROGRESS: _IntOption
NOBODY: _IntOption
FAILONERROR: _IntOption
UPLOAD: _IntOption
POST: _IntOption
FTPLISTONLY: _IntOption
FTPAPPEND: _IntOption
NETRC: _IntOption
FOLLOWLOCATION: _IntOption
TRANSFERTEXT: _IntOption
PUT: _IntOption
POSTFIELDSIZE: _IntOption
COOKIE: _TextOption
HTTPHEADER: _ListOption
PROXYHEADER: _ListOption
HEADEROPT: _IntOption
PATH_AS_IS: _IntOption
PIPEWAIT: _IntOption
HTTPPOST: _FormOption
MIMEPOST: _MimeOption
SSLCERT: _TextOption
SSLCERT_BLOB: _TextOption
SSLKEY_BLOB: _TextOption
PROXY_SSLCERT_BLOB: _TextOption
PROXY_SSLKEY_BLOB: _TextOption
ISSUERCERT_BLOB: _TextOption
PROXY_ISSUERCERT_BLOB: _TextOption
CAINFO_BLOB: _TextOption
PROXY_CAINFO_BLOB: _TextOption
SSLCERTPASSWD: _TextOption
CRLF: _IntOption
QUOTE: _ListOption
POSTQUOTE: _ListOption
PREQUOTE: _ListOption
WRITEHEADER: _WriterOption
HEADERFUNCTION: _FunctionOption
SEEKFUNCTION: _FunctionOption
COOKIEFILE: _TextOption
SSLVERSION: _IntOption
TIMECONDITION: _IntOption
TIMEVALUE: _IntOption
CUSTOMREQUEST: _TextOption
STDERR: int
INTERFACE: _TextOption
KRB4LEVEL: _TextOption
KRBLEVEL: _TextOption
PROGRESSFUNCTION: _FunctionOption
XFERINFOFUNCTION: _FunctionOption
FTP_USE_PRET: _IntOption
LOGIN_OPTIONS: _TextOption
SASL_IR: _IntOption
XOAUTH2_BEARER: _TextOption
SSL_VERIFYPEER: _IntOption
CAPATH: _TextOption
CAINFO: _TextOption
MAXREDIRS: _IntOption
MAXCONNECTS: _IntOption
MAXAGE_CONN: _IntOption
FRESH_CONNECT: _IntOption
FORBID_REUSE: _IntOption
RANDOM_FILE: _TextOption
EGDSOCKET: _TextOption
CONNECTTIMEOUT: _IntOption
HTTPGET: _IntOption
SSL_VERIFYHOST: _IntOption
COOKIEJAR: _TextOption
SSL_CIPHER_LIST: _TextOption
HTTP_VERSION: _IntOption
FTP_USE_EPSV: _IntOption
SSLCERTTYPE: _TextOption
SSLKEY: _TextOption
SSLKEYTYPE: _TextOption
SSLKEYPASSWD: _TextOption
SSLENGINE: _TextOption
SSLENGINE_DEFAULT: _IntOption
DNS_CACHE_TIMEOUT: _IntOption
DNS_USE_GLOBAL_CACHE: _IntOption
DEBUGFUNCTION: _FunctionOption
BUFFERSIZE: _IntOption
UPLOAD_BUFFERSIZE: _IntOption
NOSIGNAL: _IntOption
SHARE: _ShareOption
PROXYTYPE: _IntOption
ENCODING: _TextOption
ACCEPT_ENCODING: _TextOption
TRANSFER_ENCODING: _IntOption
HTTP200ALIASES: _ListOption
UNRESTRICTED_AUTH: _IntOption
FTP_USE_EPRT: _IntOption
HTTPAUTH: _IntOption
FTP_CREATE_MISSING_DIRS: _IntOption
PROXYAUTH: _IntOption
FTP_RESPONSE_TIMEOUT: _IntOption
IPRESOLVE: _IntOption
MAXFILESIZE: _IntOption
INFILESIZE_LARGE: _IntOption
RESUME_FROM_LARGE: _IntOption
MAXFILESIZE_LARGE: _IntOption
NETRC_FILE: _TextOption
FTP_SSL: _IntOption
POSTFIELDSIZE_LARGE: _IntOption
TCP_NODELAY: _IntOption
FTPSSLAUTH: _IntOption
IOCTLFUNCTION: _FunctionOption
OPENSOCKETFUNCTION: _FunctionOption
CLOSESOCKETFUNCTION: _FunctionOption
SOCKOPTFUNCTION: _FunctionOption
FTP_ACCOUNT: _TextOption
IGNORE_CONTENT_LENGTH: _IntOption
COOKIELIST: _TextOption
FTP_SKIP_PASV_IP: _IntOption
FTP_FILEMETHOD: _IntOption
CONNECT_ONLY: _IntOption
LOCALPORT: _IntOption
LOCALPORTRANGE: _IntOption
FTP_ALTERNATIVE_TO_USER: _TextOption
MAX_SEND_SPEED_LARGE: _IntOption
MAX_RECV_SPEED_LARGE: _IntOption
SSL_SESSIONID_CACHE: _IntOption
SSL_VERIFYSTATUS: _IntOption
SSH_AUTH_TYPES: _IntOption
SSH_PUBLIC_KEYFILE: _TextOption
SSH_PRIVATE_KEYFILE: _TextOption
SSH_KNOWNHOSTS: _TextOption
SSH_KEYFUNCTION: _FunctionOption
FTP_SSL_CCC: _IntOption
TIMEOUT_MS: _IntOption
CONNECTTIMEOUT_MS: _IntOption
ACCEPTTIMEOUT_MS: _IntOption
EXPECT_100_TIMEOUT_MS: _IntOption
TCP_KEEPALIVE: _IntOption
TCP_KEEPIDLE: _IntOption
TCP_KEEPINTVL: _IntOption
HTTP_TRANSFER_DECODING: _IntOption
HTTP_CONTENT_DECODING: _IntOption
NEW_FILE_PERMS: _IntOption
NEW_DIRECTORY_PERMS: _IntOption
POST301: _IntOption
PROXY_TRANSFER_MODE: _IntOption
SERVICE_NAME: _TextOption
PROXY_SERVICE_NAME: _TextOption
PROXY_CAPATH: _TextOption
PROXY_CAINFO: _TextOption
PROXY_CRLFILE: _TextOption
PRE_PROXY: _TextOption
PROXY_SSLCERT: _TextOption
PROXY_SSLCERTTYPE: _TextOption
PROXY_SSLKEY: _TextOption
PROXY_SSLKEYTYPE: _TextOption
PROXY_KEYPASSWD: _TextOption
PROXY_SSL_VERIFYPEER: _IntOption
PROXY_SSL_VERIFYHOST: _IntOption
PROXY_PINNEDPUBLICKEY: _TextOption
PROXY_SSLVERSION: _IntOption
PROXY_SSL_CIPHER_LIST: _TextOption
PROXY_SSL_OPTIONS: _IntOption
PROXY_TLSAUTH_TYPE: _TextOption
PROXY_TLSAUTH_USERNAME: _TextOption
PROXY_TLSAUTH_PASSWORD: _TextOption
PROXY_ISSUERCERT: _TextOption
REQUEST_TARGET: _TextOption
COPYPOSTFIELDS: _TextOption
SSH_HOST_PUBLIC_KEY_MD5: _TextOption
AUTOREFERER: _IntOption
CRLFILE: _TextOption
ISSUERCERT: _TextOption
ADDRESS_SCOPE: _IntOption
RESOLVE: _ListOption
POSTREDIR: _IntOption
NOPROXY: _TextOption
PROTOCOLS: _IntOption
REDIR_PROTOCOLS: _IntOption
TFTP_BLKSIZE: _IntOption
SOCKS5_GSSAPI_SERVICE: _TextOption
SOCKS5_GSSAPI_NEC: _IntOption
MAIL_FROM: _TextOption
MAIL_RCPT: _ListOption
MAIL_AUTH: _TextOption
PINNEDPUBLICKEY: _TextOption
WILDCARDMATCH: _IntOption
UNIX_SOCKET_PATH: _TextOption
SSL_ENABLE_ALPN: _IntOption
SSL_ENABLE_NPN: _IntOption
SSL_FALSESTART: _IntOption
SSL_OPTIONS: _IntOption
TLSAUTH_TYPE: _TextOption
TLSAUTH_USERNAME: _TextOption
TLSAUTH_PASSWORD: _TextOption
DEFAULT_PROTOCOL: _TextOption
TLS13_CIPHERS: _TextOption
PROXY_TLS13_CIPHERS: _TextOption
DOH_URL: _TextOption
HTTP09_ALLOWED: _IntOption
AWS_SIGV4: _TextOption
MAXLIFETIME_CONN: _IntOption
PREREQFUNCTION: _FunctionOption
WS_OPTIONS: _IntOption
FNMATCH_FUNCTION: _FunctionOption
FNMATCH_DATA: int
RESOLVER_START_FUNCTION: _FunctionOption
RESOLVER_START_DATA: int
TRAILERFUNCTION: _FunctionOption
TRAILERDATA: int
HSTS: _TextOption
HSTS_CTRL: _IntOption
HSTSREADFUNCTION: _FunctionOption
HSTSREADDATA: int
HSTSWRITEFUNCTION: _FunctionOption
HSTSWRITEDATA: int
TCP_FASTOPEN: _IntOption
HAPROXYPROTOCOL: _IntOption
HAPROXY_CLIENT_IP: _TextOption
ECH: _TextOption
DNS_SERVERS: _TextOption
CONNECT_TO: _ListOption
FTPSSL_NONE: int
FTPSSL_TRY: int
FTPSSL_CONTROL: int
FTPSSL_ALL: int
FTPAUTH_DEFAULT: int
FTPAUTH_SSL: int
FTPAUTH_TLS: int
FORM_BUFFER: int
FORM_BUFFERPTR: int
FORM_CONTENTS: int
FORM_FILE: int
FORM_CONTENTTYPE: int
FORM_FILENAME: int
FTPMETHOD_DEFAULT: int
FTPMETHOD_MULTICWD: int
FTPMETHOD_NOCWD: int
FTPMETHOD_SINGLECWD: int
OPT_RTSP_CLIENT_CSEQ: _IntOption
OPT_RTSP_REQUEST: _IntOption
OPT_RTSP_SERVER_CSEQ: _IntOption
OPT_RTSP_SESSION_ID: _TextOption
OPT_RTSP_STREAM_URI: _TextOption
OPT_RTSP_TRANSPORT: _TextOption
OPT_FILETIME: _IntOption
OPT_COOKIELIST: _TextOption
OPT_CERTINFO: _IntOption
PROTO_HTTP: int
PROTO_HTTPS: int
PROTO_FTP: int
PROTO_FTPS: int
PROTO_SCP: int
PROTO_SFTP: int
PROTO_TELNET: int
PROTO_LDAP: int
PROTO_LDAPS: int
PROTO_DICT: int
PROTO_FILE: int
PROTO_TFTP: int
PROTO_IMAP: int
PROTO_IMAPS: int
PROTO_POP3: int
PROTO_POP3S: int
PROTO_SMTP: int
PROTO_SMTPS: int
PROTO_RTSP: int
PROTO_RTMP: int
PROTO_RTMPT: int
PROTO_RTMPE: int
PROTO_RTMPTE: int
PROTO_RTMPS: int
PROTO_RTMPTS: int
PROTO_GOPHER: int
PROTO_SMB: int
PROTO_SMBS: int
PROTO_ALL: int
SSLOPT_ALLOW_BEAST: int
SSLOPT_NO_REVOKE: int
PREREQFUNC_OK: int
PREREQFUNC_ABORT: int
WS_RAW_MODE: int
WS_NOAUTOPONG: int
WS_TEXT: int
WS_BINARY: int
WS_CONT: int
WS_CLOSE: int
WS_PING: int
WS_PONG: int
WS_OFFSET: int
FNMATCHFUNC_MATCH: int
FNMATCHFUNC_NOMATCH: int
FNMATCHFUNC_FAIL: int
TRAILERFUNC_OK: int
TRAILERFUNC_ABORT: int
CURLHSTS_ENABLE: int
CURLHSTS_READONLYFILE: int
CURLSTS_OK: int
CURLSTS_DONE: int
CURLSTS_FAIL: int
M_TIMERFUNCTION: int
M_SOCKETFUNCTION: int
M_PIPELINING: int
M_MAXCONNECTS: int
M_MAX_HOST_CONNECTIONS: int
M_MAX_TOTAL_CONNECTIONS: int
M_MAX_PIPELINE_LENGTH: int
M_CONTENT_LENGTH_PENALTY_SIZE: int
M_CHUNK_LENGTH_PENALTY_SIZE: int
M_PIPELINING_SITE_BL: int
M_PIPELINING_SERVER_BL: int
M_MAX_CONCURRENT_STREAMS: int
M_NOTIFYFUNCTION: int
M_NOTIFY_INFO_READ: int
M_NOTIFY_EASY_DONE: int
PIPE_NOTHING: int
PIPE_HTTP1: int
PIPE_MULTIPLEX: int
IPRESOLVE_WHATEVER: int
IPRESOLVE_V4: int
IPRESOLVE_V6: int
CURL_HTTP_VERSION_NONE: int
CURL_HTTP_VERSION_1_0: int
CURL_HTTP_VERSION_1_1: int
CURL_HTTP_VERSION_2_0: int
CURL_HTTP_VERSION_2: int
CURL_HTTP_VERSION_2TLS: int
CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE: int
CURL_HTTP_VERSION_3: int
CURL_HTTP_VERSION_3ONLY: int
CURL_HTTP_VERSION_LAST: int
NETRC_OPTIONAL: int
NETRC_IGNORED: int
NETRC_REQUIRED: int
SSLVERSION_DEFAULT: int
SSLVERSION_SSLv2: int
SSLVERSION_SSLv3: int
SSLVERSION_TLSv1: int
SSLVERSION_TLSv1_0: int
SSLVERSION_TLSv1_1: int
SSLVERSION_TLSv1_2: int
SSLVERSION_TLSv1_3: int
SSLVERSION_MAX_DEFAULT: int
SSLVERSION_MAX_TLSv1_0: int
SSLVERSION_MAX_TLSv1_1: int
SSLVERSION_MAX_TLSv1_2: int
SSLVERSION_MAX_TLSv1_3: int
TIMECONDITION_NONE: int
TIMECONDITION_IFMODSINCE: int
TIMECONDITION_IFUNMODSINCE: int
TIMECONDITION_LASTMOD: int
SSH_AUTH_ANY: int
SSH_AUTH_NONE: int
SSH_AUTH_PUBLICKEY: int
SSH_AUTH_PASSWORD: int
SSH_AUTH_HOST: int
SSH_AUTH_KEYBOARD: int
SSH_AUTH_DEFAULT: int
SSH_AUTH_AGENT: int
HEADER_UNIFIED: int
HEADER_SEPARATE: int
SOCKOPT_ALREADY_CONNECTED: int
SOCKOPT_ERROR: int
SOCKOPT_OK: int
KHTYPE_UNKNOWN: int
KHTYPE_RSA1: int
KHTYPE_RSA: int
KHTYPE_DSS: int
KHMATCH_OK: int
KHMATCH_MISMATCH: int
KHMATCH_MISSING: int
KHSTAT_FINE_ADD_TO_FILE: int
KHSTAT_FINE: int
KHSTAT_REJECT: int
KHSTAT_DEFER: int
SOCKTYPE_ACCEPT: int
SOCKTYPE_IPCXN: int
USESSL_NONE: int
USESSL_TRY: int
USESSL_CONTROL: int
USESSL_ALL: int
EFFECTIVE_URL: _TextInfo
EFFECTIVE_METHOD: _TextInfo
HTTP_CODE: _IntInfo
RESPONSE_CODE: _IntInfo
TOTAL_TIME: _FloatInfo
NAMELOOKUP_TIME: _FloatInfo
CONNECT_TIME: _FloatInfo
APPCONNECT_TIME: _FloatInfo
PRETRANSFER_TIME: _FloatInfo
SIZE_UPLOAD: _FloatInfo
SIZE_DOWNLOAD: _FloatInfo
SPEED_DOWNLOAD: _FloatInfo
SPEED_UPLOAD: _FloatInfo
HEADER_SIZE: _IntInfo
REQUEST_SIZE: _IntInfo
SSL_VERIFYRESULT: _IntInfo
CONTENT_LENGTH_DOWNLOAD: _FloatInfo
CONTENT_LENGTH_UPLOAD: _FloatInfo
STARTTRANSFER_TIME: _FloatInfo
CONTENT_TYPE: _TextInfo
REDIRECT_TIME: _FloatInfo
REDIRECT_COUNT: _IntInfo
REDIRECT_URL: _TextInfo
PRIMARY_IP: _TextInfo
PRIMARY_PORT: _IntInfo
LOCAL_IP: _TextInfo
LOCAL_PORT: _IntInfo
HTTP_CONNECTCODE: _IntInfo
HTTPAUTH_AVAIL: _IntInfo
PROXYAUTH_AVAIL: _IntInfo
OS_ERRNO: _IntInfo
NUM_CONNECTS: _IntInfo
SSL_ENGINES: _ListInfo
LASTSOCKET: _IntInfo
ACTIVESOCKET: _IntInfo
FTP_ENTRY_PATH: _TextInfo
CONDITION_UNMET: _IntInfo
CONTENT_LENGTH_DOWNLOAD_T: _IntInfo
CONTENT_LENGTH_UPLOAD_T: _IntInfo
SIZE_DOWNLOAD_T: _IntInfo
SIZE_UPLOAD_T: _IntInfo
SPEED_DOWNLOAD_T: _IntInfo
SPEED_UPLOAD_T: _IntInfo
FILETIME_T: _IntInfo
APPCONNECT_TIME_T: _IntInfo
CONNECT_TIME_T: _IntInfo
NAMELOOKUP_TIME_T: _IntInfo
PRETRANSFER_TIME_T: _IntInfo
REDIRECT_TIME_T: _IntInfo
STARTTRANSFER_TIME_T: _IntInfo
TOTAL_TIME_T: _IntInfo
QUEUE_TIME_T: _IntInfo
POSTTRANSFER_TIME_T: _IntInfo
EARLYDATA_SENT_T: _IntInfo
INFO_FILETIME: _IntInfo
INFO_COOKIELIST: _ListInfo
INFO_CERTINFO: _CertInfo
INFO_RTSP_CLIENT_CSEQ: _IntInfo
INFO_RTSP_CSEQ_RECV: _IntInfo
INFO_RTSP_SERVER_CSEQ: _IntInfo
INFO_RTSP_SESSION_ID: _TextInfo
INFO_HTTP_VERSION: _IntInfo
RTSPREQ_NONE: int
RTSPREQ_OPTIONS: int
RTSPREQ_DESCRIBE: int
RTSPREQ_ANNOUNCE: int
RTSPREQ_SETUP: int
RTSPREQ_PLAY: int
RTSPREQ_PAUSE: int
RTSPREQ_TEARDOWN: int
RTSPREQ_GET_PARAMETER: int
RTSPREQ_SET_PARAMETER: int
RTSPREQ_RECORD: int
RTSPREQ_RECEIVE: int
RTSPREQ_LAST: int
PAUSE_RECV: int
PAUSE_SEND: int
PAUSE_ALL: int
PAUSE_CONT: int
SEEKFUNC_OK: int
SEEKFUNC_FAIL: int
SEEKFUNC_CANTSEEK: int
REDIR_POST_301: int
REDIR_POST_302: int
REDIR_POST_303: int
REDIR_POST_ALL: int
GLOBAL_SSL: int
GLOBAL_WIN32: int
GLOBAL_ALL: int
GLOBAL_NOTHING: int
GLOBAL_DEFAULT: int
GLOBAL_ACK_EINTR: int
CSELECT_IN: int
CSELECT_OUT: int
CSELECT_ERR: int
SOCKET_TIMEOUT: int
POLL_NONE: int
POLL_IN: int
POLL_OUT: int
POLL_INOUT: int
POLL_REMOVE: int
VERSION_IPV6: int
VERSION_KERBEROS4: int
VERSION_KERBEROS5: int
VERSION_SSL: int
VERSION_LIBZ: int
VERSION_NTLM: int
VERSION_GSSNEGOTIATE: int
VERSION_DEBUG: int
VERSION_CURLDEBUG: int
VERSION_ASYNCHDNS: int
VERSION_SPNEGO: int
VERSION_LARGEFILE: int
VERSION_IDN: int
VERSION_SSPI: int
VERSION_GSSAPI: int
VERSION_CONV: int
VERSION_TLSAUTH_SRP: int
VERSION_NTLM_WB: int
VERSION_HTTP2: int
VERSION_UNIX_SOCKETS: int
VERSION_PSL: int
VERSION_HTTPS_PROXY: int
VERSION_MULTI_SSL: int
VERSION_BROTLI: int
VERSION_ALTSVC: int
VERSION_HTTP3: int
VERSION_UNICODE: int
VERSION_ZSTD: int
VERSION_HSTS: int
VERSION_GSASL: int
CURL_VERSION_HTTPS_PROXY: int
CURL_VERSION_MULTI_SSL: int
CURL_VERSION_BROTLI: int
CURL_VERSION_ALTSVC: int
CURL_VERSION_HTTP3: int
CURL_VERSION_UNICODE: int
CURL_VERSION_ZSTD: int
CURL_VERSION_HSTS: int
CURL_VERSION_GSASL: int
E_CALL_MULTI_PERFORM: int
E_MULTI_CALL_MULTI_PERFORM: int
E_MULTI_OK: int
E_MULTI_BAD_HANDLE: int
E_MULTI_BAD_EASY_HANDLE: int
E_MULTI_BAD_SOCKET: int
E_MULTI_CALL_MULTI_SOCKET: int
E_MULTI_OUT_OF_MEMORY: int
E_MULTI_INTERNAL_ERROR: int
E_MULTI_UNKNOWN_OPTION: int
E_MULTI_ADDED_ALREADY: int
SH_SHARE: int
SH_UNSHARE: int
LOCK_DATA_COOKIE: int
LOCK_DATA_DNS: int
LOCK_DATA_SSL_SESSION: int
LOCK_DATA_CONNECT: int
LOCK_DATA_PSL: int

# What libcurl 8.23 offers beyond the names above (docs/libcurl-coverage.rst).
HEADERDATA: _WriterOption
SERVER_RESPONSE_TIMEOUT: _IntOption
SERVER_RESPONSE_TIMEOUT_MS: _IntOption
INTERLEAVEFUNCTION: _FunctionOption
DNS_INTERFACE: _TextOption
DNS_LOCAL_IP4: _TextOption
DNS_LOCAL_IP6: _TextOption
DNS_SHUFFLE_ADDRESSES: _IntOption
STREAM_WEIGHT: _IntOption
TFTP_NO_OPTIONS: _IntOption
KEEP_SENDING_ON_ERROR: _IntOption
ABSTRACT_UNIX_SOCKET: _TextOption
SUPPRESS_CONNECT_HEADERS: _IntOption
SOCKS5_AUTH: _IntOption
SSH_COMPRESSION: _IntOption
TIMEVALUE_LARGE: _IntOption
HAPPY_EYEBALLS_TIMEOUT_MS: _IntOption
DISALLOW_USERNAME_IN_URL: _IntOption
UPKEEP_INTERVAL_MS: _IntOption
ALTSVC: _TextOption
ALTSVC_CTRL: _IntOption
SASL_AUTHZID: _TextOption
MAIL_RCPT_ALLOWFAILS: _IntOption
SSL_EC_CURVES: _TextOption
DOH_SSL_VERIFYPEER: _IntOption
DOH_SSL_VERIFYHOST: _IntOption
DOH_SSL_VERIFYSTATUS: _IntOption
SSH_HOST_PUBLIC_KEY_SHA256: _TextOption
SSH_HOSTKEYFUNCTION: _FunctionOption
MIME_OPTIONS: _IntOption
PROTOCOLS_STR: _TextOption
REDIR_PROTOCOLS_STR: _TextOption
CA_CACHE_TIMEOUT: _IntOption
QUICK_EXIT: _IntOption
TCP_KEEPCNT: _IntOption
UPLOAD_FLAGS: _IntOption
SSL_SIGNATURE_ALGORITHMS: _TextOption
HTTPSIG_ALGORITHM: _IntOption
HTTPSIG_KEY: _TextOption
HTTPSIG_KEYID: _TextOption
HTTPSIG_HEADERS: _TextOption
PROXY_SSL_VERIFYRESULT: _IntInfo
SCHEME: _TextInfo
RETRY_AFTER: _IntInfo
PROXY_ERROR: _IntInfo
INFO_REFERER: _TextInfo
INFO_CAINFO: _TextInfo
INFO_CAPATH: _TextInfo
XFER_ID: _IntInfo
CONN_ID: _IntInfo
USED_PROXY: _IntInfo
HTTPAUTH_USED: _IntInfo
PROXYAUTH_USED: _IntInfo
SIZE_DELIVERED: _IntInfo
E_WEIRD_SERVER_REPLY: int
E_SETOPT_OPTION_SYNTAX: int
E_HTTP2_STREAM: int
E_RECURSIVE_API_CALL: int
E_AUTH_ERROR: int
E_HTTP3: int
E_QUIC_CONNECT_ERROR: int
E_PROXY: int
E_SSL_CLIENTCERT: int
E_UNRECOVERABLE_POLL: int
E_TOO_LARGE: int
E_ECH_REQUIRED: int
PX_OK: int
PX_BAD_ADDRESS_TYPE: int
PX_BAD_VERSION: int
PX_CLOSED: int
PX_GSSAPI: int
PX_GSSAPI_PERMSG: int
PX_GSSAPI_PROTECTION: int
PX_IDENTD: int
PX_IDENTD_DIFFER: int
PX_LONG_HOSTNAME: int
PX_LONG_PASSWD: int
PX_LONG_USER: int
PX_NO_AUTH: int
PX_RECV_ADDRESS: int
PX_RECV_AUTH: int
PX_RECV_CONNECT: int
PX_RECV_REQACK: int
PX_REPLY_ADDRESS_TYPE_NOT_SUPPORTED: int
PX_REPLY_COMMAND_NOT_SUPPORTED: int
PX_REPLY_CONNECTION_REFUSED: int
PX_REPLY_GENERAL_SERVER_FAILURE: int
PX_REPLY_HOST_UNREACHABLE: int
PX_REPLY_NETWORK_UNREACHABLE: int
PX_REPLY_NOT_ALLOWED: int
PX_REPLY_TTL_EXPIRED: int
PX_REPLY_UNASSIGNED: int
PX_REQUEST_FAILED: int
PX_RESOLVE_HOST: int
PX_SEND_AUTH: int
PX_SEND_CONNECT: int
PX_SEND_REQUEST: int
PX_UNKNOWN_FAIL: int
PX_UNKNOWN_MODE: int
PX_USER_REJECTED: int
ALTSVC_READONLYFILE: int
ALTSVC_H1: int
ALTSVC_H2: int
ALTSVC_H3: int
ULFLAG_ANSWERED: int
ULFLAG_DELETED: int
ULFLAG_DRAFT: int
ULFLAG_FLAGGED: int
ULFLAG_SEEN: int
MIMEOPT_FORMESCAPE: int
FOLLOW_ALL: int
FOLLOW_OBEYCODE: int
FOLLOW_FIRSTONLY: int
HTTPAUTH_BEARER: int
HTTPAUTH_AWS_SIGV4: int
HTTPAUTH_HTTPSIG: int
HTTPSIG_NONE: int
HTTPSIG_ED25519: int
HTTPSIG_HMAC_SHA256: int
PROXYTYPE_HTTPS: int
PROXYTYPE_HTTPS2: int
PROXYTYPE_HTTPS3: int
SSLOPT_NO_PARTIALCHAIN: int
SSLOPT_REVOKE_BEST_EFFORT: int
SSLOPT_NATIVE_CA: int
SSLOPT_AUTO_CLIENT_CERT: int
SSLOPT_EARLYDATA: int
SSH_AUTH_GSSAPI: int
KHTYPE_ECDSA: int
KHTYPE_ED25519: int
KHSTAT_FINE_REPLACE: int
PROTO_MQTT: int
PROTO_GOPHERS: int
H_HEADER: int
H_TRAILER: int
H_CONNECT: int
H_1XX: int
H_PSEUDO: int
HE_OK: int
HE_BADINDEX: int
HE_MISSING: int
HE_NOHEADERS: int
HE_NOREQUEST: int
HE_OUT_OF_MEMORY: int
HE_BAD_ARGUMENT: int
HE_NOT_BUILT_IN: int
M_PUSHFUNCTION: int
M_NETWORK_CHANGED: int
M_RESOLVE_THREADS_MAX: int
M_QUICK_EXIT: int
WAIT_POLLIN: int
WAIT_POLLPRI: int
WAIT_POLLOUT: int
PUSH_OK: int
PUSH_DENY: int
PUSH_ERROROUT: int
E_MULTI_BAD_FUNCTION_ARGUMENT: int
E_MULTI_RECURSIVE_API_CALL: int
E_MULTI_WAKEUP_FAILURE: int
E_MULTI_ABORTED_BY_CALLBACK: int
E_MULTI_UNRECOVERABLE_POLL: int
UPART_URL: int
UPART_SCHEME: int
UPART_USER: int
UPART_PASSWORD: int
UPART_OPTIONS: int
UPART_HOST: int
UPART_PORT: int
UPART_PATH: int
UPART_QUERY: int
UPART_FRAGMENT: int
UPART_ZONEID: int
U_DEFAULT_PORT: int
U_NO_DEFAULT_PORT: int
U_DEFAULT_SCHEME: int
U_NON_SUPPORT_SCHEME: int
U_PATH_AS_IS: int
U_DISALLOW_USER: int
U_URLDECODE: int
U_URLENCODE: int
U_APPENDQUERY: int
U_GUESS_SCHEME: int
U_NO_AUTHORITY: int
U_ALLOW_SPACE: int
U_PUNYCODE: int
U_PUNY2IDN: int
U_GET_EMPTY: int
U_NO_GUESS_SCHEME: int
UE_OK: int
UE_BAD_HANDLE: int
UE_BAD_PARTPOINTER: int
UE_MALFORMED_INPUT: int
UE_BAD_PORT_NUMBER: int
UE_UNSUPPORTED_SCHEME: int
UE_URLDECODE: int
UE_OUT_OF_MEMORY: int
UE_USER_NOT_ALLOWED: int
UE_UNKNOWN_PART: int
UE_NO_SCHEME: int
UE_NO_USER: int
UE_NO_PASSWORD: int
UE_NO_OPTIONS: int
UE_NO_HOST: int
UE_NO_PORT: int
UE_NO_QUERY: int
UE_NO_FRAGMENT: int
UE_NO_ZONEID: int
UE_BAD_FILE_URL: int
UE_BAD_FRAGMENT: int
UE_BAD_HOSTNAME: int
UE_BAD_IPV6: int
UE_BAD_LOGIN: int
UE_BAD_PASSWORD: int
UE_BAD_PATH: int
UE_BAD_QUERY: int
UE_BAD_SCHEME: int
UE_BAD_SLASHES: int
UE_BAD_USER: int
UE_LACKS_IDN: int
UE_TOO_LARGE: int
UE_BACKSLASH: int
CHUNK_BGN_FUNCTION: _FunctionOption
CHUNK_END_FUNCTION: _FunctionOption
CHUNK_BGN_FUNC_OK: int
CHUNK_BGN_FUNC_FAIL: int
CHUNK_BGN_FUNC_SKIP: int
CHUNK_END_FUNC_OK: int
CHUNK_END_FUNC_FAIL: int
FILETYPE_DEVICE_BLOCK: int
FILETYPE_DEVICE_CHAR: int
FILETYPE_DIRECTORY: int
FILETYPE_DOOR: int
FILETYPE_FILE: int
FILETYPE_NAMEDPIPE: int
FILETYPE_SOCKET: int
FILETYPE_SYMLINK: int
FILETYPE_UNKNOWN: int
