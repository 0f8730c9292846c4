// Talks to kivo-web's JSON API. Every failure becomes an ApiError whose text carries
// the service's own words (message, reason, hint), so that no view ever shows a bare
// "failed".

// The service's reason codes the page acts on (the API sends the code beside a name meant
// for people, which may be reworded).
export const Reason = Object.freeze({ noAnswer: 4, passwordRejected: 23 });

// Whether a failure may come from a wrong password: a rejection, or an LCMP device's
// silence (it ignores a request enciphered with the wrong password).
export function mayBeWrongPassword(err) {
  const code = err && err.reason && err.reason.code;
  return code === Reason.passwordRejected || code === Reason.noAnswer;
}

export class ApiError extends Error {
  constructor(message, hint = '', reason = null, status = 0) {
    super(message);
    this.hint = hint;
    this.reason = reason;
    this.status = status;
  }

  // One paragraph for people: what failed, the service's reason, what to do. A message
  // that carries the service's reason names the request and the device already.
  text(doing) {
    let s = doing && !this.reason ? `${doing}: ${this.message}` : this.message;
    if (this.reason && this.reason.text && !s.includes(this.reason.text)) s += ` (${this.reason.text})`;
    if (!/[.!?)]$/.test(s)) s += '.';
    if (this.hint) s += ` ${this.hint}`;
    return s;
  }
}

const noToken = new ApiError('This page has no valid access token for kivo-web',
  'Open the address that kivo-web printed when it started (the one ending in ?token=...).', null, 401);

async function errorFrom(resp) {
  let body = null;
  try {
    body = await resp.json();
  } catch {
    // Not the API's error shape: a proxy or a crash in between. Say what we know.
  }
  const e = body && body.error;
  if (e && typeof e.message === 'string') {
    return new ApiError(e.message, typeof e.hint === 'string' ? e.hint : '', e.reason || null, resp.status);
  }
  if (resp.status === 401) return noToken;
  return new ApiError(`kivo-web answered HTTP ${resp.status} ${resp.statusText}`.trim(),
    'Check kivo-web\'s log for the cause.', null, resp.status);
}

async function send(method, path, body) {
  const init = { method, credentials: 'same-origin', headers: { Accept: 'application/json' } };
  if (body instanceof FormData) {
    init.body = body;
  } else if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  let resp;
  try {
    resp = await fetch(path, init);
  } catch (err) {
    throw new ApiError(`kivo-web does not answer (${err.message})`,
      'Check that kivo-web is still running and reload the page.');
  }
  if (!resp.ok) throw await errorFrom(resp);
  try {
    return await resp.json();
  } catch {
    throw new ApiError(`kivo-web sent a reply to ${path} that is not JSON`, 'Check kivo-web\'s log.');
  }
}

export const get = (path) => send('GET', path);
export const post = (path, body) => send('POST', path, body);
