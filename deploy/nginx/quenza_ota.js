// The launcher's verify request (POST /ota/verify), answered for the channel of the
// server block that received it ($quenza_channel) from the site directory
// ($quenza_site): the body is the manifest the channel currently serves for the edition
// ("product_slug") and platform ("platform") that the request names, read through the
// channel's link, so a switch of the link is seen by the next request whole.
//
// Replies: 200 with the manifest; 400 when the body is not a JSON object naming a known
// edition and platform; 404 when the channel serves no release of that edition for that
// platform; 405 for another method. The launcher treats every status but 2xx as a failed
// run and logs the body, so the texts say what the operator has to do.

import fs from 'fs';

function verify(r) {
    if (r.method !== 'POST') {
        r.headersOut['Allow'] = 'POST';
        r.return(405, 'POST the verify request\n');
        return;
    }
    let request = null;
    try {
        request = JSON.parse(r.requestText || '');
    } catch (e) {
        request = null;
    }
    if (request === null || typeof request !== 'object' || Array.isArray(request)) {
        r.return(400, 'the request body is not a JSON object\n');
        return;
    }
    const edition = request.product_slug;
    const platform = request.platform;
    // Only known names reach the file name below: the request cannot name another path.
    // They come from the server block ($quenza_editions, $quenza_platforms), which
    // scripts/publish nginx-config writes from the identity table.
    const editions = r.variables.quenza_editions.split(',');
    const platforms = r.variables.quenza_platforms.split(',');
    if (!editions.includes(edition) || !platforms.includes(platform)) {
        r.return(400, 'unknown product_slug or platform\n');
        return;
    }
    const channel = r.variables.quenza_channel;
    const file = `${r.variables.quenza_site}/channels/${channel}/${edition}/${platform}.json`;
    let manifest;
    try {
        manifest = fs.readFileSync(file);
    } catch (e) {
        if (e.code === 'ENOENT') {
            r.return(404, `channel ${channel} serves no release of ${edition} for ${platform}\n`);
            return;
        }
        r.error(`quenza verify: ${file}: ${e}`);
        r.return(500, 'the manifest cannot be read\n');
        return;
    }
    r.headersOut['Content-Type'] = 'application/json';
    r.headersOut['Cache-Control'] = 'no-store';
    r.return(200, manifest);
}

export default { verify };
