// cubeweb's JSON API and its WebSocket, as docs/web.md describes them. A
// token in the page's address (?token=T) goes with every call, as a bearer
// token, and on the WebSocket's address, which cannot carry a header.
const token = new URLSearchParams(location.search).get('token');
const RECONNECT_MS = 1000;
const MAX_RECONNECT_MS = 4000;

export class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

function headers(body) {
  const result = {};
  if (token)
    result.Authorization = `Bearer ${token}`;
  if (body !== undefined)
    result['Content-Type'] = 'application/json';
  return result;
}

// Calls the API and answers the response itself; a failure, the server's
// {"error"} or the network's, is thrown as an ApiError.
export async function call(method, path, body) {
  let response;
  try {
    response = await fetch(`/api/${path}`, {
      method,
      headers: headers(body),
      body: body === undefined ? undefined : JSON.stringify(body),
      cache: 'no-store',
    });
  } catch (error) {
    throw new ApiError(0, 'cubeweb does not answer');
  }
  if (!response.ok) {
    let message = `${response.status} ${response.statusText}`;
    try {
      message = (await response.json()).error || message;
    } catch (error) {
      // Not JSON: the status says it.
    }
    throw new ApiError(response.status, message);
  }
  return response;
}

export async function get(path) {
  return (await call('GET', path)).json();
}

export async function post(path, body = {}) {
  return (await call('POST', path, body)).json();
}

export async function remove(path) {
  return (await call('DELETE', path)).json();
}

// The WebSocket /ws: frames as bytes, the state as JSON text. It connects
// again by itself while the page is open, a second after a loss and then
// less often, so that a restarted cubeweb is picked up.
export class Live {
  constructor({ onFrame, onState, onConnection }) {
    this.onFrame = onFrame;
    this.onState = onState;
    this.onConnection = onConnection;
    this.delay = RECONNECT_MS;
    this.connect();
  }

  url() {
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const query = token ? `?token=${encodeURIComponent(token)}` : '';
    return `${scheme}//${location.host}/ws${query}`;
  }

  connect() {
    this.onConnection('connecting');
    const socket = new WebSocket(this.url());
    socket.binaryType = 'arraybuffer';
    socket.onopen = () => {
      this.delay = RECONNECT_MS;
      this.onConnection('live');
    };
    socket.onmessage = event => {
      if (typeof event.data === 'string') {
        try {
          this.onState(JSON.parse(event.data));
        } catch (error) {
          // A state that is no JSON is ignored; the next one will do.
        }
      } else {
        this.onFrame(new Uint8Array(event.data));
      }
    };
    socket.onclose = () => {
      this.onConnection('reconnecting');
      setTimeout(() => this.connect(), this.delay);
      this.delay = Math.min(this.delay * 2, MAX_RECONNECT_MS);
    };
    this.socket = socket;
  }
}
