"""RTSP interleaved RTP through INTERLEAVEFUNCTION, against a raw socket
server that puts RTP frames in front of its answer to the second request."""

import re

import pytest

import kelvex

FRAMES = b"$\x00\x00\x05hello" + b"$\x01\x00\x03abc"


def serve_rtsp(sock):
    buffered = b""
    while True:
        while b"\r\n\r\n" not in buffered:
            data = sock.recv(4096)
            if not data:
                return
            buffered += data
        head, buffered = buffered.split(b"\r\n\r\n", 1)
        cseq = re.search(rb"CSeq: (\d+)", head).group(1)
        sock.sendall((FRAMES if cseq == b"2" else b"")
                     + b"RTSP/1.0 200 OK\r\nCSeq: " + cseq + b"\r\nSession: 12345678\r\n"
                     b"Transport: RTP/AVP/TCP;interleaved=0-1\r\nContent-Length: 0\r\n\r\n")


@pytest.fixture
def rtsp(curl, raw_server):
    url = f"rtsp://127.0.0.1:{raw_server(serve_rtsp)}/media"
    curl.setopt(kelvex.URL, url)
    curl.setopt(kelvex.OPT_RTSP_STREAM_URI, url)
    curl.setopt(kelvex.WRITEFUNCTION, lambda data: None)
    # SETUP announces the interleaved channels; libcurl takes RTP frames
    # only on those.
    curl.setopt(kelvex.OPT_RTSP_REQUEST, kelvex.RTSPREQ_SETUP)
    curl.setopt(kelvex.OPT_RTSP_TRANSPORT, "RTP/AVP/TCP;interleaved=0-1")
    return curl


def test_interleaved_frames_reach_the_callable_whole(rtsp):
    frames = []
    rtsp.setopt(kelvex.INTERLEAVEFUNCTION, frames.append)
    rtsp.perform()
    assert rtsp.getinfo(kelvex.INFO_RTSP_SESSION_ID) == "12345678"
    rtsp.setopt(kelvex.OPT_RTSP_REQUEST, kelvex.RTSPREQ_OPTIONS)
    rtsp.perform()
    assert frames == [b"$\x00\x00\x05hello", b"$\x01\x00\x03abc"]
    assert rtsp.getinfo(kelvex.INFO_RTSP_CSEQ_RECV) == 2


@pytest.mark.parametrize("answer", [0, ValueError], ids=["short-count", "raises"])
def test_a_refusing_callable_fails_the_transfer(rtsp, answer, capfd):
    def interleave(frame):
        if answer is ValueError:
            raise ValueError("no RTP here")
        return answer

    rtsp.setopt(kelvex.INTERLEAVEFUNCTION, interleave)
    rtsp.perform()
    rtsp.setopt(kelvex.OPT_RTSP_REQUEST, kelvex.RTSPREQ_OPTIONS)
    with pytest.raises(kelvex.error) as info:
        rtsp.perform()
    assert info.value.args[0] == kelvex.E_WRITE_ERROR
    if answer is ValueError:
        assert "ValueError: no RTP here" in capfd.readouterr().err
