"""The constants: every name, its value and the objects that expose it."""

import pytest

from kelvex import _kelvex

# name, value, and where the name is readable besides the module itself:
# "Curl", "CurlMulti" or "CurlShare" objects, or "module" for the module only.
# The values are libcurl's numbers, except a few that the module fixes
# (non-negative forms of libcurl's -1 and wide masks, the 64-bit variants
# behind the plain size options, retired error codes).
TABLE = """
READFUNC_ABORT                          268435456  Curl
READFUNC_PAUSE                          268435457  Curl
WRITEFUNC_PAUSE                         268435457  Curl
IOE_OK                                          0  Curl
IOE_UNKNOWNCMD                                  1  Curl
IOE_FAILRESTART                                 2  Curl
IOCMD_NOP                                       0  Curl
IOCMD_RESTARTREAD                               1  Curl
SOCKET_BAD                                     -1  Curl
INFOTYPE_TEXT                                   0  Curl
INFOTYPE_HEADER_IN                              1  Curl
INFOTYPE_HEADER_OUT                             2  Curl
INFOTYPE_DATA_IN                                3  Curl
INFOTYPE_DATA_OUT                               4  Curl
INFOTYPE_SSL_DATA_IN                            5  Curl
INFOTYPE_SSL_DATA_OUT                           6  Curl
E_OK                                            0  Curl
E_AGAIN                                        81  Curl
E_ALREADY_COMPLETE                          99999  Curl
E_BAD_CALLING_ORDER                            44  Curl
E_BAD_PASSWORD_ENTERED                         46  Curl
E_FTP_BAD_DOWNLOAD_RESUME                      36  Curl
E_FTP_COULDNT_SET_TYPE                         17  Curl
E_FTP_PARTIAL_FILE                             18  Curl
E_FTP_USER_PASSWORD_INCORRECT                  10  Curl
E_HTTP_NOT_FOUND                               22  Curl
E_HTTP_PORT_FAILED                             45  Curl
E_MALFORMAT_USER                               24  Curl
E_QUOTE_ERROR                                  21  Curl
E_RANGE_ERROR                                  33  Curl
E_REMOTE_ACCESS_DENIED                          9  Curl
E_REMOTE_DISK_FULL                             70  Curl
E_REMOTE_FILE_EXISTS                           73  Curl
E_UPLOAD_FAILED                                25  Curl
E_URL_MALFORMAT_USER                            4  Curl
E_USE_SSL_FAILED                               64  Curl
E_UNSUPPORTED_PROTOCOL                          1  Curl
E_FAILED_INIT                                   2  Curl
E_URL_MALFORMAT                                 3  Curl
E_NOT_BUILT_IN                                  4  Curl
E_COULDNT_RESOLVE_PROXY                         5  Curl
E_COULDNT_RESOLVE_HOST                          6  Curl
E_COULDNT_CONNECT                               7  Curl
E_FTP_WEIRD_SERVER_REPLY                        8  Curl
E_FTP_ACCESS_DENIED                             9  Curl
E_FTP_ACCEPT_FAILED                            10  Curl
E_FTP_WEIRD_PASS_REPLY                         11  Curl
E_FTP_WEIRD_USER_REPLY                         12  Curl
E_FTP_WEIRD_PASV_REPLY                         13  Curl
E_FTP_WEIRD_227_FORMAT                         14  Curl
E_FTP_CANT_GET_HOST                            15  Curl
E_FTP_CANT_RECONNECT                           16  Curl
E_FTP_COULDNT_SET_BINARY                       17  Curl
E_PARTIAL_FILE                                 18  Curl
E_FTP_COULDNT_RETR_FILE                        19  Curl
E_FTP_WRITE_ERROR                              20  Curl
E_FTP_QUOTE_ERROR                              21  Curl
E_HTTP_RETURNED_ERROR                          22  Curl
E_WRITE_ERROR                                  23  Curl
E_FTP_COULDNT_STOR_FILE                        25  Curl
E_READ_ERROR                                   26  Curl
E_OUT_OF_MEMORY                                27  Curl
E_OPERATION_TIMEOUTED                          28  Curl
E_OPERATION_TIMEDOUT                           28  Curl
E_FTP_COULDNT_SET_ASCII                        29  Curl
E_FTP_PORT_FAILED                              30  Curl
E_FTP_COULDNT_USE_REST                         31  Curl
E_FTP_COULDNT_GET_SIZE                         32  Curl
E_HTTP_RANGE_ERROR                             33  Curl
E_HTTP_POST_ERROR                              34  Curl
E_SSL_CACERT                                   60  Curl
E_SSL_CACERT_BADFILE                           77  Curl
E_SSL_CERTPROBLEM                              58  Curl
E_SSL_CIPHER                                   59  Curl
E_SSL_CONNECT_ERROR                            35  Curl
E_SSL_CRL_BADFILE                              82  Curl
E_SSL_ENGINE_INITFAILED                        66  Curl
E_SSL_ENGINE_NOTFOUND                          53  Curl
E_SSL_ENGINE_SETFAILED                         54  Curl
E_SSL_INVALIDCERTSTATUS                        91  Curl
E_SSL_ISSUER_ERROR                             83  Curl
E_SSL_PEER_CERTIFICATE                         60  Curl
E_SSL_PINNEDPUBKEYNOTMATCH                     90  Curl
E_SSL_SHUTDOWN_FAILED                          80  Curl
E_BAD_DOWNLOAD_RESUME                          36  Curl
E_FILE_COULDNT_READ_FILE                       37  Curl
E_LDAP_CANNOT_BIND                             38  Curl
E_LDAP_SEARCH_FAILED                           39  Curl
E_LIBRARY_NOT_FOUND                            40  Curl
E_FUNCTION_NOT_FOUND                           41  Curl
E_ABORTED_BY_CALLBACK                          42  Curl
E_BAD_FUNCTION_ARGUMENT                        43  Curl
E_INTERFACE_FAILED                             45  Curl
E_TOO_MANY_REDIRECTS                           47  Curl
E_UNKNOWN_OPTION                               48  Curl
E_UNKNOWN_TELNET_OPTION                        48  Curl
E_TELNET_OPTION_SYNTAX                         49  Curl
E_GOT_NOTHING                                  52  Curl
E_SEND_ERROR                                   55  Curl
E_RECV_ERROR                                   56  Curl
E_SHARE_IN_USE                                 57  Curl
E_BAD_CONTENT_ENCODING                         61  Curl
E_LDAP_INVALID_URL                             62  Curl
E_FILESIZE_EXCEEDED                            63  Curl
E_FTP_SSL_FAILED                               64  Curl
E_SEND_FAIL_REWIND                             65  Curl
E_LOGIN_DENIED                                 67  Curl
E_PEER_FAILED_VERIFICATION                     60  Curl
E_TFTP_NOTFOUND                                68  Curl
E_TFTP_PERM                                    69  Curl
E_TFTP_DISKFULL                                70  Curl
E_TFTP_ILLEGAL                                 71  Curl
E_TFTP_UNKNOWNID                               72  Curl
E_TFTP_EXISTS                                  73  Curl
E_TFTP_NOSUCHUSER                              74  Curl
E_CONV_FAILED                                  75  Curl
E_CONV_REQD                                    76  Curl
E_REMOTE_FILE_NOT_FOUND                        78  Curl
E_SSH                                          79  Curl
E_FTP_PRET_FAILED                              84  Curl
E_RTSP_CSEQ_ERROR                              85  Curl
E_RTSP_SESSION_ERROR                           86  Curl
E_CHUNK_FAILED                                 88  Curl
E_FTP_BAD_FILE_LIST                            87  Curl
E_FTP_ACCEPT_TIMEOUT                           12  Curl
E_NO_CONNECTION_AVAILABLE                      89  Curl
E_HTTP2                                        16  Curl
PROXYTYPE_HTTP                                  0  Curl
PROXYTYPE_HTTP_1_0                              1  Curl
PROXYTYPE_SOCKS4                                4  Curl
PROXYTYPE_SOCKS4A                               6  Curl
PROXYTYPE_SOCKS5                                5  Curl
PROXYTYPE_SOCKS5_HOSTNAME                       7  Curl
HTTPAUTH_ANY                           4294967279  Curl
HTTPAUTH_ANYSAFE                       4294967278  Curl
HTTPAUTH_BASIC                                  1  Curl
HTTPAUTH_DIGEST                                 2  Curl
HTTPAUTH_DIGEST_IE                             16  Curl
HTTPAUTH_GSSNEGOTIATE                           4  Curl
HTTPAUTH_NEGOTIATE                              4  Curl
HTTPAUTH_NTLM                                   8  Curl
HTTPAUTH_NTLM_WB                               32  Curl
HTTPAUTH_NONE                                   0  Curl
HTTPAUTH_ONLY                          2147483648  Curl
GSSAPI_DELEGATION_FLAG                          2  Curl
GSSAPI_DELEGATION_NONE                          0  Curl
GSSAPI_DELEGATION_POLICY_FLAG                   1  Curl
GSSAPI_DELEGATION                             210  Curl
APPEND                                         50  Curl
COOKIESESSION                                  96  Curl
DIRLISTONLY                                    48  Curl
FILE                                        10001  Curl
FTPPORT                                     10017  Curl
INFILE                                      10009  Curl
INFILESIZE                                  30115  Curl
KEYPASSWD                                   10026  Curl
LOW_SPEED_LIMIT                                19  Curl
LOW_SPEED_TIME                                 20  Curl
PORT                                            3  Curl
POSTFIELDS                                  10015  Curl
PROXY                                       10004  Curl
PROXYPASSWORD                               10176  Curl
PROXYUSERNAME                               10175  Curl
PROXYUSERPWD                                10006  Curl
RANGE                                       10007  Curl
READFUNCTION                                20012  Curl
REFERER                                     10016  Curl
RESUME_FROM                                 30116  Curl
TELNETOPTIONS                               10070  Curl
TIMEOUT                                        13  Curl
URL                                         10002  Curl
USE_SSL                                       119  Curl
USERAGENT                                   10018  Curl
USERPWD                                     10005  Curl
WRITEFUNCTION                               20011  Curl
USERNAME                                    10173  Curl
PASSWORD                                    10174  Curl
WRITEDATA                                   10001  Curl
READDATA                                    10009  Curl
PROXYPORT                                      59  Curl
HTTPPROXYTUNNEL                                61  Curl
VERBOSE                                        41  Curl
HEADER                                         42  Curl
NOPROGRESS                                     43  Curl
NOBODY                                         44  Curl
FAILONERROR                                    45  Curl
UPLOAD                                         46  Curl
POST                                           47  Curl
FTPLISTONLY                                    48  Curl
FTPAPPEND                                      50  Curl
NETRC                                          51  Curl
FOLLOWLOCATION                                 52  Curl
TRANSFERTEXT                                   53  Curl
PUT                                            54  Curl
POSTFIELDSIZE                               30120  Curl
COOKIE                                      10022  Curl
HTTPHEADER                                  10023  Curl
PROXYHEADER                                 10228  Curl
HEADEROPT                                     229  Curl
PATH_AS_IS                                    234  Curl
PIPEWAIT                                      237  Curl
HTTPPOST                                    10024  Curl
MIMEPOST                                    10269  Curl
SSLCERT                                     10025  Curl
SSLCERT_BLOB                                40291  Curl
SSLKEY_BLOB                                 40292  Curl
PROXY_SSLCERT_BLOB                          40293  Curl
PROXY_SSLKEY_BLOB                           40294  Curl
ISSUERCERT_BLOB                             40295  Curl
PROXY_ISSUERCERT_BLOB                       40297  Curl
CAINFO_BLOB                                 40309  Curl
PROXY_CAINFO_BLOB                           40310  Curl
SSLCERTPASSWD                               10026  Curl
CRLF                                           27  Curl
QUOTE                                       10028  Curl
POSTQUOTE                                   10039  Curl
PREQUOTE                                    10093  Curl
WRITEHEADER                                 10029  Curl
HEADERFUNCTION                              20079  Curl
SEEKFUNCTION                                20167  Curl
COOKIEFILE                                  10031  Curl
SSLVERSION                                     32  Curl
TIMECONDITION                                  33  Curl
TIMEVALUE                                      34  Curl
CUSTOMREQUEST                               10036  Curl
STDERR                                      10037  Curl
INTERFACE                                   10062  Curl
KRB4LEVEL                                   10063  Curl
KRBLEVEL                                    10063  Curl
PROGRESSFUNCTION                            20056  Curl
XFERINFOFUNCTION                            20219  Curl
FTP_USE_PRET                                  188  Curl
LOGIN_OPTIONS                               10224  Curl
SASL_IR                                       218  Curl
XOAUTH2_BEARER                              10220  Curl
SSL_VERIFYPEER                                 64  Curl
CAPATH                                      10097  Curl
CAINFO                                      10065  Curl
MAXREDIRS                                      68  Curl
MAXCONNECTS                                    71  Curl
MAXAGE_CONN                                   288  Curl
FRESH_CONNECT                                  74  Curl
FORBID_REUSE                                   75  Curl
RANDOM_FILE                                 10076  Curl
EGDSOCKET                                   10077  Curl
CONNECTTIMEOUT                                 78  Curl
HTTPGET                                        80  Curl
SSL_VERIFYHOST                                 81  Curl
COOKIEJAR                                   10082  Curl
SSL_CIPHER_LIST                             10083  Curl
HTTP_VERSION                                   84  Curl
FTP_USE_EPSV                                   85  Curl
SSLCERTTYPE                                 10086  Curl
SSLKEY                                      10087  Curl
SSLKEYTYPE                                  10088  Curl
SSLKEYPASSWD                                10026  Curl
SSLENGINE                                   10089  Curl
SSLENGINE_DEFAULT                              90  Curl
DNS_CACHE_TIMEOUT                              92  Curl
DNS_USE_GLOBAL_CACHE                           91  Curl
DEBUGFUNCTION                               20094  Curl
BUFFERSIZE                                     98  Curl
UPLOAD_BUFFERSIZE                             280  Curl
NOSIGNAL                                       99  Curl
SHARE                                       10100  Curl
PROXYTYPE                                     101  Curl
ENCODING                                    10102  Curl
ACCEPT_ENCODING                             10102  Curl
TRANSFER_ENCODING                             207  Curl
HTTP200ALIASES                              10104  Curl
UNRESTRICTED_AUTH                             105  Curl
FTP_USE_EPRT                                  106  Curl
HTTPAUTH                                      107  Curl
FTP_CREATE_MISSING_DIRS                       110  Curl
PROXYAUTH                                     111  Curl
FTP_RESPONSE_TIMEOUT                          112  Curl
IPRESOLVE                                     113  Curl
MAXFILESIZE                                 30117  Curl
INFILESIZE_LARGE                            30115  Curl
RESUME_FROM_LARGE                           30116  Curl
MAXFILESIZE_LARGE                           30117  Curl
NETRC_FILE                                  10118  Curl
FTP_SSL                                       119  Curl
POSTFIELDSIZE_LARGE                         30120  Curl
TCP_NODELAY                                   121  Curl
FTPSSLAUTH                                    129  Curl
IOCTLFUNCTION                               20130  Curl
OPENSOCKETFUNCTION                          20163  Curl
CLOSESOCKETFUNCTION                         20208  Curl
SOCKOPTFUNCTION                             20148  Curl
FTP_ACCOUNT                                 10134  Curl
IGNORE_CONTENT_LENGTH                         136  Curl
COOKIELIST                                  10135  Curl
FTP_SKIP_PASV_IP                              137  Curl
FTP_FILEMETHOD                                138  Curl
CONNECT_ONLY                                  141  Curl
LOCALPORT                                     139  Curl
LOCALPORTRANGE                                140  Curl
FTP_ALTERNATIVE_TO_USER                     10147  Curl
MAX_SEND_SPEED_LARGE                        30145  Curl
MAX_RECV_SPEED_LARGE                        30146  Curl
SSL_SESSIONID_CACHE                           150  Curl
SSL_VERIFYSTATUS                              232  Curl
SSH_AUTH_TYPES                                151  Curl
SSH_PUBLIC_KEYFILE                          10152  Curl
SSH_PRIVATE_KEYFILE                         10153  Curl
SSH_KNOWNHOSTS                              10183  Curl
SSH_KEYFUNCTION                             20184  Curl
FTP_SSL_CCC                                   154  Curl
TIMEOUT_MS                                    155  Curl
CONNECTTIMEOUT_MS                             156  Curl
ACCEPTTIMEOUT_MS                              212  Curl
EXPECT_100_TIMEOUT_MS                         227  Curl
TCP_KEEPALIVE                                 213  Curl
TCP_KEEPIDLE                                  214  Curl
TCP_KEEPINTVL                                 215  Curl
HTTP_TRANSFER_DECODING                        157  Curl
HTTP_CONTENT_DECODING                         158  Curl
NEW_FILE_PERMS                                159  Curl
NEW_DIRECTORY_PERMS                           160  Curl
POST301                                       161  Curl
PROXY_TRANSFER_MODE                           166  Curl
SERVICE_NAME                                10236  Curl
PROXY_SERVICE_NAME                          10235  Curl
PROXY_CAPATH                                10247  Curl
PROXY_CAINFO                                10246  Curl
PROXY_CRLFILE                               10260  Curl
PRE_PROXY                                   10262  Curl
PROXY_SSLCERT                               10254  Curl
PROXY_SSLCERTTYPE                           10255  Curl
PROXY_SSLKEY                                10256  Curl
PROXY_SSLKEYTYPE                            10257  Curl
PROXY_KEYPASSWD                             10258  Curl
PROXY_SSL_VERIFYPEER                          248  Curl
PROXY_SSL_VERIFYHOST                          249  Curl
PROXY_PINNEDPUBLICKEY                       10263  Curl
PROXY_SSLVERSION                              250  Curl
PROXY_SSL_CIPHER_LIST                       10259  Curl
PROXY_SSL_OPTIONS                             261  Curl
PROXY_TLSAUTH_TYPE                          10253  Curl
PROXY_TLSAUTH_USERNAME                      10251  Curl
PROXY_TLSAUTH_PASSWORD                      10252  Curl
PROXY_ISSUERCERT                            10296  Curl
REQUEST_TARGET                              10266  Curl
COPYPOSTFIELDS                              10165  Curl
SSH_HOST_PUBLIC_KEY_MD5                     10162  Curl
AUTOREFERER                                    58  Curl
CRLFILE                                     10169  Curl
ISSUERCERT                                  10170  Curl
ADDRESS_SCOPE                                 171  Curl
RESOLVE                                     10203  Curl
POSTREDIR                                     161  Curl
NOPROXY                                     10177  Curl
PROTOCOLS                                     181  Curl
REDIR_PROTOCOLS                               182  Curl
TFTP_BLKSIZE                                  178  Curl
SOCKS5_GSSAPI_SERVICE                       10179  Curl
SOCKS5_GSSAPI_NEC                             180  Curl
MAIL_FROM                                   10186  Curl
MAIL_RCPT                                   10187  Curl
MAIL_AUTH                                   10217  Curl
PINNEDPUBLICKEY                             10230  Curl
WILDCARDMATCH                                 197  Curl
UNIX_SOCKET_PATH                            10231  Curl
SSL_ENABLE_ALPN                               226  Curl
SSL_ENABLE_NPN                                225  Curl
SSL_FALSESTART                                233  Curl
SSL_OPTIONS                                   216  Curl
TLSAUTH_TYPE                                10206  Curl
TLSAUTH_USERNAME                            10204  Curl
TLSAUTH_PASSWORD                            10205  Curl
DEFAULT_PROTOCOL                            10238  Curl
TLS13_CIPHERS                               10276  Curl
PROXY_TLS13_CIPHERS                         10277  Curl
DOH_URL                                     10279  Curl
HTTP09_ALLOWED                                285  Curl
AWS_SIGV4                                   10305  Curl
MAXLIFETIME_CONN                              314  Curl
PREREQFUNCTION                              20312  Curl
WS_OPTIONS                                    320  Curl
FNMATCH_FUNCTION                            20200  Curl
FNMATCH_DATA                                10202  Curl
RESOLVER_START_FUNCTION                     20272  Curl
RESOLVER_START_DATA                         10273  Curl
TRAILERFUNCTION                             20283  Curl
TRAILERDATA                                 10284  Curl
HSTS                                        10300  Curl
HSTS_CTRL                                     299  Curl
HSTSREADFUNCTION                            20301  Curl
HSTSREADDATA                                10302  Curl
HSTSWRITEFUNCTION                           20303  Curl
HSTSWRITEDATA                               10304  Curl
TCP_FASTOPEN                                  244  Curl
HAPROXYPROTOCOL                               274  Curl
HAPROXY_CLIENT_IP                           10323  Curl
ECH                                         10325  Curl
DNS_SERVERS                                 10211  Curl
CONNECT_TO                                  10243  Curl
FTPSSL_NONE                                     0  Curl
FTPSSL_TRY                                      1  Curl
FTPSSL_CONTROL                                  2  Curl
FTPSSL_ALL                                      3  Curl
FTPAUTH_DEFAULT                                 0  Curl
FTPAUTH_SSL                                     1  Curl
FTPAUTH_TLS                                     2  Curl
FORM_BUFFER                                    11  Curl
FORM_BUFFERPTR                                 12  Curl
FORM_CONTENTS                                   4  Curl
FORM_FILE                                      10  Curl
FORM_CONTENTTYPE                               14  Curl
FORM_FILENAME                                  16  Curl
FTPMETHOD_DEFAULT                               0  Curl
FTPMETHOD_MULTICWD                              1  Curl
FTPMETHOD_NOCWD                                 2  Curl
FTPMETHOD_SINGLECWD                             3  Curl
OPT_RTSP_CLIENT_CSEQ                          193  Curl
OPT_RTSP_REQUEST                              189  Curl
OPT_RTSP_SERVER_CSEQ                          194  Curl
OPT_RTSP_SESSION_ID                         10190  Curl
OPT_RTSP_STREAM_URI                         10191  Curl
OPT_RTSP_TRANSPORT                          10192  Curl
OPT_FILETIME                                   69  Curl
OPT_COOKIELIST                              10135  Curl
OPT_CERTINFO                                  172  Curl
PROTO_HTTP                                      1  Curl
PROTO_HTTPS                                     2  Curl
PROTO_FTP                                       4  Curl
PROTO_FTPS                                      8  Curl
PROTO_SCP                                      16  Curl
PROTO_SFTP                                     32  Curl
PROTO_TELNET                                   64  Curl
PROTO_LDAP                                    128  Curl
PROTO_LDAPS                                   256  Curl
PROTO_DICT                                    512  Curl
PROTO_FILE                                   1024  Curl
PROTO_TFTP                                   2048  Curl
PROTO_IMAP                                   4096  Curl
PROTO_IMAPS                                  8192  Curl
PROTO_POP3                                  16384  Curl
PROTO_POP3S                                 32768  Curl
PROTO_SMTP                                  65536  Curl
PROTO_SMTPS                                131072  Curl
PROTO_RTSP                                 262144  Curl
PROTO_RTMP                                 524288  Curl
PROTO_RTMPT                               1048576  Curl
PROTO_RTMPE                               2097152  Curl
PROTO_RTMPTE                              4194304  Curl
PROTO_RTMPS                               8388608  Curl
PROTO_RTMPTS                             16777216  Curl
PROTO_GOPHER                             33554432  Curl
PROTO_SMB                                67108864  Curl
PROTO_SMBS                              134217728  Curl
PROTO_ALL                              4294967295  Curl
SSLOPT_ALLOW_BEAST                              1  Curl
SSLOPT_NO_REVOKE                                2  Curl
PREREQFUNC_OK                                   0  Curl
PREREQFUNC_ABORT                                1  Curl
WS_RAW_MODE                                     1  Curl
WS_NOAUTOPONG                                   2  Curl
WS_TEXT                                         1  Curl
WS_BINARY                                       2  Curl
WS_CONT                                         4  Curl
WS_CLOSE                                        8  Curl
WS_PING                                        16  Curl
WS_PONG                                        64  Curl
WS_OFFSET                                      32  Curl
FNMATCHFUNC_MATCH                               0  Curl
FNMATCHFUNC_NOMATCH                             1  Curl
FNMATCHFUNC_FAIL                                2  Curl
TRAILERFUNC_OK                                  0  Curl
TRAILERFUNC_ABORT                               1  Curl
CURLHSTS_ENABLE                                 1  Curl
CURLHSTS_READONLYFILE                           2  Curl
CURLSTS_OK                                      0  Curl
CURLSTS_DONE                                    1  Curl
CURLSTS_FAIL                                    2  Curl
M_TIMERFUNCTION                             20004  CurlMulti
M_SOCKETFUNCTION                            20001  CurlMulti
M_PIPELINING                                    3  CurlMulti
M_MAXCONNECTS                                   6  CurlMulti
M_MAX_HOST_CONNECTIONS                          7  CurlMulti
M_MAX_TOTAL_CONNECTIONS                        13  CurlMulti
M_MAX_PIPELINE_LENGTH                           8  CurlMulti
M_CONTENT_LENGTH_PENALTY_SIZE               30009  CurlMulti
M_CHUNK_LENGTH_PENALTY_SIZE                 30010  CurlMulti
M_PIPELINING_SITE_BL                        10011  CurlMulti
M_PIPELINING_SERVER_BL                      10012  CurlMulti
M_MAX_CONCURRENT_STREAMS                       16  CurlMulti
M_NOTIFYFUNCTION                            20018  CurlMulti
M_NOTIFY_INFO_READ                              0  CurlMulti
M_NOTIFY_EASY_DONE                              1  CurlMulti
PIPE_NOTHING                                    0  CurlMulti
PIPE_HTTP1                                      1  CurlMulti
PIPE_MULTIPLEX                                  2  CurlMulti
IPRESOLVE_WHATEVER                              0  Curl
IPRESOLVE_V4                                    1  Curl
IPRESOLVE_V6                                    2  Curl
CURL_HTTP_VERSION_NONE                          0  Curl
CURL_HTTP_VERSION_1_0                           1  Curl
CURL_HTTP_VERSION_1_1                           2  Curl
CURL_HTTP_VERSION_2_0                           3  Curl
CURL_HTTP_VERSION_2                             3  Curl
CURL_HTTP_VERSION_2TLS                          4  Curl
CURL_HTTP_VERSION_2_PRIOR_KNOWLEDGE             5  Curl
CURL_HTTP_VERSION_3                            30  Curl
CURL_HTTP_VERSION_3ONLY                        31  Curl
CURL_HTTP_VERSION_LAST                         32  Curl
NETRC_OPTIONAL                                  1  Curl
NETRC_IGNORED                                   0  Curl
NETRC_REQUIRED                                  2  Curl
SSLVERSION_DEFAULT                              0  Curl
SSLVERSION_SSLv2                                2  Curl
SSLVERSION_SSLv3                                3  Curl
SSLVERSION_TLSv1                                1  Curl
SSLVERSION_TLSv1_0                              4  Curl
SSLVERSION_TLSv1_1                              5  Curl
SSLVERSION_TLSv1_2                              6  Curl
SSLVERSION_TLSv1_3                              7  Curl
SSLVERSION_MAX_DEFAULT                      65536  Curl
SSLVERSION_MAX_TLSv1_0                     262144  Curl
SSLVERSION_MAX_TLSv1_1                     327680  Curl
SSLVERSION_MAX_TLSv1_2                     393216  Curl
SSLVERSION_MAX_TLSv1_3                     458752  Curl
TIMECONDITION_NONE                              0  Curl
TIMECONDITION_IFMODSINCE                        1  Curl
TIMECONDITION_IFUNMODSINCE                      2  Curl
TIMECONDITION_LASTMOD                           3  Curl
SSH_AUTH_ANY                           4294967295  Curl
SSH_AUTH_NONE                                   0  Curl
SSH_AUTH_PUBLICKEY                              1  Curl
SSH_AUTH_PASSWORD                               2  Curl
SSH_AUTH_HOST                                   4  Curl
SSH_AUTH_KEYBOARD                               8  Curl
SSH_AUTH_DEFAULT                       4294967295  Curl
SSH_AUTH_AGENT                                 16  Curl
HEADER_UNIFIED                                  0  Curl
HEADER_SEPARATE                                 1  Curl
SOCKOPT_ALREADY_CONNECTED                       2  Curl
SOCKOPT_ERROR                                   1  Curl
SOCKOPT_OK                                      0  Curl
KHTYPE_UNKNOWN                                  0  Curl
KHTYPE_RSA1                                     1  Curl
KHTYPE_RSA                                      2  Curl
KHTYPE_DSS                                      3  Curl
KHMATCH_OK                                      0  Curl
KHMATCH_MISMATCH                                1  Curl
KHMATCH_MISSING                                 2  Curl
KHSTAT_FINE_ADD_TO_FILE                         0  Curl
KHSTAT_FINE                                     1  Curl
KHSTAT_REJECT                                   2  Curl
KHSTAT_DEFER                                    3  Curl
SOCKTYPE_ACCEPT                                 1  Curl
SOCKTYPE_IPCXN                                  0  Curl
USESSL_NONE                                     0  Curl
USESSL_TRY                                      1  Curl
USESSL_CONTROL                                  2  Curl
USESSL_ALL                                      3  Curl
EFFECTIVE_URL                             1048577  Curl
EFFECTIVE_METHOD                          1048634  Curl
HTTP_CODE                                 2097154  Curl
RESPONSE_CODE                             2097154  Curl
TOTAL_TIME                                3145731  Curl
NAMELOOKUP_TIME                           3145732  Curl
CONNECT_TIME                              3145733  Curl
APPCONNECT_TIME                           3145761  Curl
PRETRANSFER_TIME                          3145734  Curl
SIZE_UPLOAD                               3145735  Curl
SIZE_DOWNLOAD                             3145736  Curl
SPEED_DOWNLOAD                            3145737  Curl
SPEED_UPLOAD                              3145738  Curl
HEADER_SIZE                               2097163  Curl
REQUEST_SIZE                              2097164  Curl
SSL_VERIFYRESULT                          2097165  Curl
CONTENT_LENGTH_DOWNLOAD                   3145743  Curl
CONTENT_LENGTH_UPLOAD                     3145744  Curl
STARTTRANSFER_TIME                        3145745  Curl
CONTENT_TYPE                              1048594  Curl
REDIRECT_TIME                             3145747  Curl
REDIRECT_COUNT                            2097172  Curl
REDIRECT_URL                              1048607  Curl
PRIMARY_IP                                1048608  Curl
PRIMARY_PORT                              2097192  Curl
LOCAL_IP                                  1048617  Curl
LOCAL_PORT                                2097194  Curl
HTTP_CONNECTCODE                          2097174  Curl
HTTPAUTH_AVAIL                            2097175  Curl
PROXYAUTH_AVAIL                           2097176  Curl
OS_ERRNO                                  2097177  Curl
NUM_CONNECTS                              2097178  Curl
SSL_ENGINES                               4194331  Curl
LASTSOCKET                                2097181  Curl
ACTIVESOCKET                              5242924  Curl
FTP_ENTRY_PATH                            1048606  Curl
CONDITION_UNMET                           2097187  Curl
CONTENT_LENGTH_DOWNLOAD_T                 6291471  Curl
CONTENT_LENGTH_UPLOAD_T                   6291472  Curl
SIZE_DOWNLOAD_T                           6291464  Curl
SIZE_UPLOAD_T                             6291463  Curl
SPEED_DOWNLOAD_T                          6291465  Curl
SPEED_UPLOAD_T                            6291466  Curl
FILETIME_T                                6291470  Curl
APPCONNECT_TIME_T                         6291512  Curl
CONNECT_TIME_T                            6291508  Curl
NAMELOOKUP_TIME_T                         6291507  Curl
PRETRANSFER_TIME_T                        6291509  Curl
REDIRECT_TIME_T                           6291511  Curl
STARTTRANSFER_TIME_T                      6291510  Curl
TOTAL_TIME_T                              6291506  Curl
QUEUE_TIME_T                              6291521  Curl
POSTTRANSFER_TIME_T                       6291523  Curl
EARLYDATA_SENT_T                          6291524  Curl
INFO_FILETIME                             2097166  Curl
INFO_COOKIELIST                           4194332  Curl
INFO_CERTINFO                             4194338  Curl
INFO_RTSP_CLIENT_CSEQ                     2097189  Curl
INFO_RTSP_CSEQ_RECV                       2097191  Curl
INFO_RTSP_SERVER_CSEQ                     2097190  Curl
INFO_RTSP_SESSION_ID                      1048612  Curl
INFO_HTTP_VERSION                         2097198  Curl
RTSPREQ_NONE                                    0  Curl
RTSPREQ_OPTIONS                                 1  Curl
RTSPREQ_DESCRIBE                                2  Curl
RTSPREQ_ANNOUNCE                                3  Curl
RTSPREQ_SETUP                                   4  Curl
RTSPREQ_PLAY                                    5  Curl
RTSPREQ_PAUSE                                   6  Curl
RTSPREQ_TEARDOWN                                7  Curl
RTSPREQ_GET_PARAMETER                           8  Curl
RTSPREQ_SET_PARAMETER                           9  Curl
RTSPREQ_RECORD                                 10  Curl
RTSPREQ_RECEIVE                                11  Curl
RTSPREQ_LAST                                   12  Curl
PAUSE_RECV                                      1  Curl
PAUSE_SEND                                      4  Curl
PAUSE_ALL                                       5  Curl
PAUSE_CONT                                      0  Curl
SEEKFUNC_OK                                     0  Curl
SEEKFUNC_FAIL                                   1  Curl
SEEKFUNC_CANTSEEK                               2  Curl
REDIR_POST_301                                  1  Curl
REDIR_POST_302                                  2  Curl
REDIR_POST_303                                  4  Curl
REDIR_POST_ALL                                  7  Curl
GLOBAL_SSL                                      1  module
GLOBAL_WIN32                                    2  module
GLOBAL_ALL                                      3  module
GLOBAL_NOTHING                                  0  module
GLOBAL_DEFAULT                                  3  module
GLOBAL_ACK_EINTR                                4  module
CSELECT_IN                                      1  module
CSELECT_OUT                                     2  module
CSELECT_ERR                                     4  module
SOCKET_TIMEOUT                                 -1  module
POLL_NONE                                       0  module
POLL_IN                                         1  module
POLL_OUT                                        2  module
POLL_INOUT                                      3  module
POLL_REMOVE                                     4  module
VERSION_IPV6                                    1  module
VERSION_KERBEROS4                               2  module
VERSION_KERBEROS5                          262144  module
VERSION_SSL                                     4  module
VERSION_LIBZ                                    8  module
VERSION_NTLM                                   16  module
VERSION_GSSNEGOTIATE                           32  module
VERSION_DEBUG                                  64  module
VERSION_CURLDEBUG                            8192  module
VERSION_ASYNCHDNS                             128  module
VERSION_SPNEGO                                256  module
VERSION_LARGEFILE                             512  module
VERSION_IDN                                  1024  module
VERSION_SSPI                                 2048  module
VERSION_GSSAPI                             131072  module
VERSION_CONV                                 4096  module
VERSION_TLSAUTH_SRP                         16384  module
VERSION_NTLM_WB                             32768  module
VERSION_HTTP2                               65536  module
VERSION_UNIX_SOCKETS                       524288  module
VERSION_PSL                               1048576  module
VERSION_HTTPS_PROXY                       2097152  module
VERSION_MULTI_SSL                         4194304  module
VERSION_BROTLI                            8388608  module
VERSION_ALTSVC                           16777216  module
VERSION_HTTP3                            33554432  module
VERSION_UNICODE                         134217728  module
VERSION_ZSTD                             67108864  module
VERSION_HSTS                            268435456  module
VERSION_GSASL                           536870912  module
CURL_VERSION_HTTPS_PROXY                  2097152  module
CURL_VERSION_MULTI_SSL                    4194304  module
CURL_VERSION_BROTLI                       8388608  module
CURL_VERSION_ALTSVC                      16777216  module
CURL_VERSION_HTTP3                       33554432  module
CURL_VERSION_UNICODE                    134217728  module
CURL_VERSION_ZSTD                        67108864  module
CURL_VERSION_HSTS                       268435456  module
CURL_VERSION_GSASL                      536870912  module
E_CALL_MULTI_PERFORM                           -1  CurlMulti
E_MULTI_CALL_MULTI_PERFORM                     -1  CurlMulti
E_MULTI_OK                                      0  CurlMulti
E_MULTI_BAD_HANDLE                              1  CurlMulti
E_MULTI_BAD_EASY_HANDLE                         2  CurlMulti
E_MULTI_BAD_SOCKET                              5  CurlMulti
E_MULTI_CALL_MULTI_SOCKET                      -1  CurlMulti
E_MULTI_OUT_OF_MEMORY                           3  CurlMulti
E_MULTI_INTERNAL_ERROR                          4  CurlMulti
E_MULTI_UNKNOWN_OPTION                          6  CurlMulti
E_MULTI_ADDED_ALREADY                           7  CurlMulti
SH_SHARE                                        1  CurlShare
SH_UNSHARE                                      2  CurlShare
LOCK_DATA_COOKIE                                2  CurlShare
LOCK_DATA_DNS                                   3  CurlShare
LOCK_DATA_SSL_SESSION                           4  CurlShare
LOCK_DATA_CONNECT                               5  CurlShare
LOCK_DATA_PSL                                   6  CurlShare
"""

CONSTANTS = [
    (name, int(value), where)
    for name, value, where in (line.split() for line in TABLE.strip().splitlines())
]

# Names of what libcurl offers beyond the table above: options, info items
# and multi options of libcurl 8.23 and the values they take. Those marked
# "newer" exist only when the libcurl headers of the build define them.
LIBCURL_TABLE = """
HEADERDATA                                     10029  Curl
SERVER_RESPONSE_TIMEOUT                          112  Curl
SERVER_RESPONSE_TIMEOUT_MS                       324  Curl
INTERLEAVEFUNCTION                             20196  Curl
DNS_INTERFACE                                  10221  Curl
DNS_LOCAL_IP4                                  10222  Curl
DNS_LOCAL_IP6                                  10223  Curl
DNS_SHUFFLE_ADDRESSES                            275  Curl
STREAM_WEIGHT                                    239  Curl
TFTP_NO_OPTIONS                                  242  Curl
KEEP_SENDING_ON_ERROR                            245  Curl
ABSTRACT_UNIX_SOCKET                           10264  Curl
SUPPRESS_CONNECT_HEADERS                         265  Curl
SOCKS5_AUTH                                      267  Curl
SSH_COMPRESSION                                  268  Curl
TIMEVALUE_LARGE                                30270  Curl
HAPPY_EYEBALLS_TIMEOUT_MS                        271  Curl
DISALLOW_USERNAME_IN_URL                         278  Curl
UPKEEP_INTERVAL_MS                               281  Curl
ALTSVC                                         10287  Curl
ALTSVC_CTRL                                      286  Curl
SASL_AUTHZID                                   10289  Curl
MAIL_RCPT_ALLOWFAILS                             290  Curl
SSL_EC_CURVES                                  10298  Curl
DOH_SSL_VERIFYPEER                               306  Curl
DOH_SSL_VERIFYHOST                               307  Curl
DOH_SSL_VERIFYSTATUS                             308  Curl
SSH_HOST_PUBLIC_KEY_SHA256                     10311  Curl
SSH_HOSTKEYFUNCTION                            20316  Curl
MIME_OPTIONS                                     315  Curl
PROTOCOLS_STR                                  10318  Curl
REDIR_PROTOCOLS_STR                            10319  Curl
CA_CACHE_TIMEOUT                                 321  Curl
QUICK_EXIT                                       322  Curl
TCP_KEEPCNT                                      326  Curl
UPLOAD_FLAGS                                     327  Curl
SSL_SIGNATURE_ALGORITHMS                       10328  Curl
HTTPSIG_ALGORITHM                                329  Curl  newer
HTTPSIG_KEY                                    10330  Curl  newer
HTTPSIG_KEYID                                  10331  Curl  newer
HTTPSIG_HEADERS                                10332  Curl  newer
PROXY_SSL_VERIFYRESULT                       2097199  Curl
SCHEME                                       1048625  Curl
RETRY_AFTER                                  6291513  Curl
PROXY_ERROR                                  2097211  Curl
INFO_REFERER                                 1048636  Curl
INFO_CAINFO                                  1048637  Curl
INFO_CAPATH                                  1048638  Curl
XFER_ID                                      6291519  Curl
CONN_ID                                      6291520  Curl
USED_PROXY                                   2097218  Curl
HTTPAUTH_USED                                2097221  Curl
PROXYAUTH_USED                               2097222  Curl
SIZE_DELIVERED                               6291527  Curl  newer
E_WEIRD_SERVER_REPLY                               8  Curl
E_SETOPT_OPTION_SYNTAX                            49  Curl
E_HTTP2_STREAM                                    92  Curl
E_RECURSIVE_API_CALL                              93  Curl
E_AUTH_ERROR                                      94  Curl
E_HTTP3                                           95  Curl
E_QUIC_CONNECT_ERROR                              96  Curl
E_PROXY                                           97  Curl
E_SSL_CLIENTCERT                                  98  Curl
E_UNRECOVERABLE_POLL                              99  Curl
E_TOO_LARGE                                      100  Curl
E_ECH_REQUIRED                                   101  Curl
PX_OK                                              0  Curl
PX_BAD_ADDRESS_TYPE                                1  Curl
PX_BAD_VERSION                                     2  Curl
PX_CLOSED                                          3  Curl
PX_GSSAPI                                          4  Curl
PX_GSSAPI_PERMSG                                   5  Curl
PX_GSSAPI_PROTECTION                               6  Curl
PX_IDENTD                                          7  Curl
PX_IDENTD_DIFFER                                   8  Curl
PX_LONG_HOSTNAME                                   9  Curl
PX_LONG_PASSWD                                    10  Curl
PX_LONG_USER                                      11  Curl
PX_NO_AUTH                                        12  Curl
PX_RECV_ADDRESS                                   13  Curl
PX_RECV_AUTH                                      14  Curl
PX_RECV_CONNECT                                   15  Curl
PX_RECV_REQACK                                    16  Curl
PX_REPLY_ADDRESS_TYPE_NOT_SUPPORTED               17  Curl
PX_REPLY_COMMAND_NOT_SUPPORTED                    18  Curl
PX_REPLY_CONNECTION_REFUSED                       19  Curl
PX_REPLY_GENERAL_SERVER_FAILURE                   20  Curl
PX_REPLY_HOST_UNREACHABLE                         21  Curl
PX_REPLY_NETWORK_UNREACHABLE                      22  Curl
PX_REPLY_NOT_ALLOWED                              23  Curl
PX_REPLY_TTL_EXPIRED                              24  Curl
PX_REPLY_UNASSIGNED                               25  Curl
PX_REQUEST_FAILED                                 26  Curl
PX_RESOLVE_HOST                                   27  Curl
PX_SEND_AUTH                                      28  Curl
PX_SEND_CONNECT                                   29  Curl
PX_SEND_REQUEST                                   30  Curl
PX_UNKNOWN_FAIL                                   31  Curl
PX_UNKNOWN_MODE                                   32  Curl
PX_USER_REJECTED                                  33  Curl
ALTSVC_READONLYFILE                                4  Curl
ALTSVC_H1                                          8  Curl
ALTSVC_H2                                         16  Curl
ALTSVC_H3                                         32  Curl
ULFLAG_ANSWERED                                    1  Curl
ULFLAG_DELETED                                     2  Curl
ULFLAG_DRAFT                                       4  Curl
ULFLAG_FLAGGED                                     8  Curl
ULFLAG_SEEN                                       16  Curl
MIMEOPT_FORMESCAPE                                 1  Curl
FOLLOW_ALL                                         1  Curl
FOLLOW_OBEYCODE                                    2  Curl
FOLLOW_FIRSTONLY                                   3  Curl
HTTPAUTH_BEARER                                   64  Curl
HTTPAUTH_AWS_SIGV4                               128  Curl
HTTPAUTH_HTTPSIG                                 256  Curl  newer
HTTPSIG_NONE                                       0  Curl  newer
HTTPSIG_ED25519                                    1  Curl  newer
HTTPSIG_HMAC_SHA256                                2  Curl  newer
PROXYTYPE_HTTPS                                    2  Curl
PROXYTYPE_HTTPS2                                   3  Curl
PROXYTYPE_HTTPS3                                   8  Curl  newer
SSLOPT_NO_PARTIALCHAIN                             4  Curl
SSLOPT_REVOKE_BEST_EFFORT                          8  Curl
SSLOPT_NATIVE_CA                                  16  Curl
SSLOPT_AUTO_CLIENT_CERT                           32  Curl
SSLOPT_EARLYDATA                                  64  Curl
SSH_AUTH_GSSAPI                                   32  Curl
KHTYPE_ECDSA                                       4  Curl
KHTYPE_ED25519                                     5  Curl
KHSTAT_FINE_REPLACE                                4  Curl
PROTO_MQTT                                 268435456  Curl
PROTO_GOPHERS                              536870912  Curl
H_HEADER                                           1  Curl
H_TRAILER                                          2  Curl
H_CONNECT                                          4  Curl
H_1XX                                              8  Curl
H_PSEUDO                                          16  Curl
HE_OK                                              0  Curl
HE_BADINDEX                                        1  Curl
HE_MISSING                                         2  Curl
HE_NOHEADERS                                       3  Curl
HE_NOREQUEST                                       4  Curl
HE_OUT_OF_MEMORY                                   5  Curl
HE_BAD_ARGUMENT                                    6  Curl
HE_NOT_BUILT_IN                                    7  Curl
M_PUSHFUNCTION                                 20014  CurlMulti
M_NETWORK_CHANGED                                 17  CurlMulti
M_RESOLVE_THREADS_MAX                             20  CurlMulti  newer
M_QUICK_EXIT                                      21  CurlMulti  newer
WAIT_POLLIN                                        1  CurlMulti
WAIT_POLLPRI                                       2  CurlMulti
WAIT_POLLOUT                                       4  CurlMulti
PUSH_OK                                            0  CurlMulti
PUSH_DENY                                          1  CurlMulti
PUSH_ERROROUT                                      2  CurlMulti
E_MULTI_BAD_FUNCTION_ARGUMENT                     10  CurlMulti
E_MULTI_RECURSIVE_API_CALL                         8  CurlMulti
E_MULTI_WAKEUP_FAILURE                             9  CurlMulti
E_MULTI_ABORTED_BY_CALLBACK                       11  CurlMulti
E_MULTI_UNRECOVERABLE_POLL                        12  CurlMulti
UPART_URL                                          0  module
UPART_SCHEME                                       1  module
UPART_USER                                         2  module
UPART_PASSWORD                                     3  module
UPART_OPTIONS                                      4  module
UPART_HOST                                         5  module
UPART_PORT                                         6  module
UPART_PATH                                         7  module
UPART_QUERY                                        8  module
UPART_FRAGMENT                                     9  module
UPART_ZONEID                                      10  module
U_DEFAULT_PORT                                     1  module
U_NO_DEFAULT_PORT                                  2  module
U_DEFAULT_SCHEME                                   4  module
U_NON_SUPPORT_SCHEME                               8  module
U_PATH_AS_IS                                      16  module
U_DISALLOW_USER                                   32  module
U_URLDECODE                                       64  module
U_URLENCODE                                      128  module
U_APPENDQUERY                                    256  module
U_GUESS_SCHEME                                   512  module
U_NO_AUTHORITY                                  1024  module
U_ALLOW_SPACE                                   2048  module
U_PUNYCODE                                      4096  module
U_PUNY2IDN                                      8192  module
U_GET_EMPTY                                    16384  module
U_NO_GUESS_SCHEME                              32768  module
UE_OK                                              0  module
UE_BAD_HANDLE                                      1  module
UE_BAD_PARTPOINTER                                 2  module
UE_MALFORMED_INPUT                                 3  module
UE_BAD_PORT_NUMBER                                 4  module
UE_UNSUPPORTED_SCHEME                              5  module
UE_URLDECODE                                       6  module
UE_OUT_OF_MEMORY                                   7  module
UE_USER_NOT_ALLOWED                                8  module
UE_UNKNOWN_PART                                    9  module
UE_NO_SCHEME                                      10  module
UE_NO_USER                                        11  module
UE_NO_PASSWORD                                    12  module
UE_NO_OPTIONS                                     13  module
UE_NO_HOST                                        14  module
UE_NO_PORT                                        15  module
UE_NO_QUERY                                       16  module
UE_NO_FRAGMENT                                    17  module
UE_NO_ZONEID                                      18  module
UE_BAD_FILE_URL                                   19  module
UE_BAD_FRAGMENT                                   20  module
UE_BAD_HOSTNAME                                   21  module
UE_BAD_IPV6                                       22  module
UE_BAD_LOGIN                                      23  module
UE_BAD_PASSWORD                                   24  module
UE_BAD_PATH                                       25  module
UE_BAD_QUERY                                      26  module
UE_BAD_SCHEME                                     27  module
UE_BAD_SLASHES                                    28  module
UE_BAD_USER                                       29  module
UE_LACKS_IDN                                      30  module
UE_TOO_LARGE                                      31  module
UE_BACKSLASH                                      32  module  newer
CHUNK_BGN_FUNCTION                             20198  Curl
CHUNK_END_FUNCTION                             20199  Curl
CHUNK_BGN_FUNC_OK                                  0  Curl
CHUNK_BGN_FUNC_FAIL                                1  Curl
CHUNK_BGN_FUNC_SKIP                                2  Curl
CHUNK_END_FUNC_OK                                  0  Curl
CHUNK_END_FUNC_FAIL                                1  Curl
FILETYPE_DEVICE_BLOCK                              3  Curl
FILETYPE_DEVICE_CHAR                               4  Curl
FILETYPE_DIRECTORY                                 1  Curl
FILETYPE_DOOR                                      7  Curl
FILETYPE_FILE                                      0  Curl
FILETYPE_NAMEDPIPE                                 5  Curl
FILETYPE_SOCKET                                    6  Curl
FILETYPE_SYMLINK                                   2  Curl
FILETYPE_UNKNOWN                                   8  Curl
"""

LIBCURL_CONSTANTS = [
    (fields[0], int(fields[1]), fields[2], len(fields) > 3)
    for fields in (line.split() for line in LIBCURL_TABLE.strip().splitlines())
]
LIBCURL_NAMES = {name for name, _, _, _ in LIBCURL_CONSTANTS}

# Module attributes that are not constants.
NON_CONSTANTS = {
    "version", "COMPILE_PY_VERSION_HEX", "COMPILE_LIBCURL_VERSION_NUM", "COMPILE_SSL_LIB",
    "error", "Curl", "CurlMulti", "CurlShare", "CurlMime", "CurlMimePart", "EventCore",
    "KhKey", "CurlSockAddr", "HstsEntry", "HstsIndex", "WsFrame", "CurlHeader", "CurlUrl", "CurlFileInfo",
    "global_init", "global_cleanup", "version_info",
    "easy_strerror", "multi_strerror", "share_strerror", "url_strerror", "_import_checks",
}

OBJECT_KINDS = ("Curl", "CurlMulti", "CurlShare", "CurlMime")


def test_table_counts():
    assert len(CONSTANTS) == 715
    assert len({name for name, _, _ in CONSTANTS}) == 715
    where = [w for _, _, w in CONSTANTS]
    assert (where.count("module"), where.count("Curl"), where.count("CurlMulti"),
            where.count("CurlShare")) == (54, 625, 29, 7)


def test_module_constants_match_table():
    wrong = [
        (name, getattr(_kelvex, name, "missing"), value)
        for name, value, _ in CONSTANTS
        if getattr(_kelvex, name, None) != value or type(getattr(_kelvex, name, None)) is not int
    ]
    assert wrong == []
    public = {name for name in vars(_kelvex) if not name.startswith("__")}
    assert public - NON_CONSTANTS - LIBCURL_NAMES == {name for name, _, _ in CONSTANTS}


def test_libcurl_constants_match_table():
    wrong = [
        (name, getattr(_kelvex, name, "missing"), value)
        for name, value, _, newer in LIBCURL_CONSTANTS
        if (hasattr(_kelvex, name) or not newer) and getattr(_kelvex, name, None) != value
    ]
    assert wrong == []
    assert not LIBCURL_NAMES & {name for name, _, _ in CONSTANTS}


def test_libcurl_constants_live_in_one_type_dictionary(handle):
    kind, obj = handle
    for name, value, where, _ in LIBCURL_CONSTANTS:
        if not hasattr(_kelvex, name):
            continue
        if where == kind:
            assert getattr(obj, name) == value
        else:
            with pytest.raises(AttributeError):
                getattr(obj, name)


@pytest.fixture(params=OBJECT_KINDS)
def handle(request):
    kind = request.param
    if kind == "CurlMime":
        with _kelvex.Curl() as curl:
            obj = _kelvex.CurlMime(curl)
            yield kind, obj
            obj.close()
        return
    obj = getattr(_kelvex, kind)()
    yield kind, obj
    obj.close()


def test_object_attributes_match_table(handle):
    kind, obj = handle
    wrong = []
    for name, value, where in CONSTANTS:
        if where == kind:
            if getattr(obj, name, None) != value:
                wrong.append((name, "not readable or wrong value"))
        else:
            with pytest.raises(AttributeError):
                getattr(obj, name)
    assert wrong == []


@pytest.mark.parametrize(
    "names",
    [
        ("INFILESIZE", "INFILESIZE_LARGE"),
        ("RESUME_FROM", "RESUME_FROM_LARGE"),
        ("MAXFILESIZE", "MAXFILESIZE_LARGE"),
        ("POSTFIELDSIZE", "POSTFIELDSIZE_LARGE"),
        ("COOKIELIST", "OPT_COOKIELIST"),
        ("HTTP_CODE", "RESPONSE_CODE"),
        ("VERSION_HSTS", "CURL_VERSION_HSTS"),
        ("E_CALL_MULTI_PERFORM", "E_MULTI_CALL_MULTI_PERFORM", "E_MULTI_CALL_MULTI_SOCKET"),
        ("SSH_AUTH_ANY", "SSH_AUTH_DEFAULT", "PROTO_ALL"),
        ("READFUNC_PAUSE", "WRITEFUNC_PAUSE"),
        ("CURL_HTTP_VERSION_2", "CURL_HTTP_VERSION_2_0"),
        ("SSLCERTPASSWD", "SSLKEYPASSWD", "KEYPASSWD"),
        ("E_SSL_CACERT", "E_SSL_PEER_CERTIFICATE", "E_PEER_FAILED_VERIFICATION"),
    ],
)
def test_aliases_share_one_value(names):
    assert len({getattr(_kelvex, name) for name in names}) == 1


def test_names_taken_by_both_options_and_information_codes_are_prefixed():
    assert _kelvex.OPT_FILETIME == 69
    assert _kelvex.INFO_FILETIME == 0x20000E
    assert not hasattr(_kelvex, "FILETIME")
